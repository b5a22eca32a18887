#include <iterator>
#include <vector>

#include "call_answer.h"
#include "if_linkd.h"
#include "log.h"

namespace {

const char* const kTag = "usr";

Json::Value channel_request(const std::string& line, const char* channel_key, const std::string& channelID) {
    Json::Value req(Json::objectValue);
    req["line"] = line;
    req[channel_key] = channelID;
    return req;
}

}  // namespace

void InterfaceLinkD::user_channel_join(std::string channelID) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s user_channel_join %s", mynet::log_time(), kTag, channelID.c_str());
    if (refused_logged_out("channel_join", "channel join when logouted", [&] {
            fire_onChannelJoinFailed(channelID, nuvra_sdk::GENERAL_E_NOT_LOGIN);
        }))
        return;
    const Json::Value req = channel_request(m_line, "name", channelID);
    forget_current_channel();
    const uint64_t join = ++m_last_join;
    m_pending_joins[join] = channelID;
    command_call(
        "channel_join", "channel_join", req,
        [this, channelID, join](const Json::Value& answer) { on_channel_joined(channelID, join, answer); },
        [this, channelID, join](int, const std::string&) {
            m_pending_joins.erase(join);
            fire_onChannelJoinFailed(channelID, nuvra_sdk::JOINCHANNEL_E_OTHER);
        });
}

// The channel is recorded before the events, so a handler that leaves
// forgets it again; a join whose channel was left after it was sent, or that
// a new login outlived, reports its events but leaves the current channel alone.
void InterfaceLinkD::on_channel_joined(const std::string& name, uint64_t join, const Json::Value& answer) {
    if (m_pending_joins.erase(join) != 0) {
        set_channel_name(name);
        if (!json_member(answer, "cid").isNull()) m_cid = answer_text(answer, "cid");
        const Json::Value& msgid = json_member(answer, "msgid");
        if (!msgid.isNull()) m_channel_msgid = json_as_uint(msgid);
    }
    fire_onChannelJoined(name);

    const Json::Value& list = json_member(answer, "list");
    const unsigned n = list.isArray() ? list.size() : 0;
    std::vector<std::string> accounts(n);
    std::vector<char*> account_ptrs(n);
    std::vector<uint32_t> uids(n);
    for (unsigned i = 0; i < n; ++i) {
        const Json::Value& entry = json_index(list, i);
        accounts[i] = json_as_string(json_index(entry, 0));
        account_ptrs[i] = &accounts[i][0];
        uids[i] = json_as_uint(json_index(entry, 1));
    }
    fire_onChannelUserList(static_cast<int>(n), account_ptrs.data(), uids.data());

    const Json::Value& attrs = json_member(answer, "attrs");
    if (!attrs.isObject()) return;
    // The object's own order is the byte order of the names.
    for (auto it = attrs.begin(); it != attrs.end(); ++it) {
        const char* name_end = nullptr;
        const char* attr_name = it.memberName(&name_end);
        fire_onChannelAttrUpdated(name, std::string(attr_name, name_end), value_text(*it), "update");
    }
}

void InterfaceLinkD::forget_current_channel() {
    m_channel_msgid = 0;
    set_channel_name("");
    m_cid = "";
}

void InterfaceLinkD::forget_pending_joins_of(const std::string& channelID) {
    for (auto it = m_pending_joins.begin(); it != m_pending_joins.end();)
        it = it->second == channelID ? m_pending_joins.erase(it) : std::next(it);
}

void InterfaceLinkD::user_channel_leave(std::string channelID) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s user_channel_leave channelID=\"%s\"", mynet::log_time(), kTag,
             channelID.c_str());
    if (refused_logged_out("channel_leave", "channel leave when logouted", [&] {
            fire_onChannelLeaved(channelID, nuvra_sdk::GENERAL_E_NOT_LOGIN);
        }))
        return;
    const Json::Value req = channel_request(m_line, "name", channelID);
    forget_current_channel();
    forget_pending_joins_of(channelID);
    auto leaved = [this, channelID] { fire_onChannelLeaved(channelID, nuvra_sdk::LEAVECHANNEL_E_BYUSER); };
    command_call(
        "channel_leave", "channel_leave", req, [leaved](const Json::Value&) { leaved(); },
        [leaved](int, const std::string&) { leaved(); });
}

void InterfaceLinkD::user_query_channel_user_isin(std::string channelID, std::string account) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s user_query_channel_user_isin channelID=\"%s\" account=\"%s\"",
             mynet::log_time(), kTag, channelID.c_str(), account.c_str());
    if (refused_logged_out("channel_query_user_isin", "channel query_user_isin when logouted")) return;
    Json::Value req = channel_request(m_line, "name", channelID);
    req["account"] = account;
    command_call(
        "channel_query_user_isin", "channel_query_user_isin", req,
        [this, channelID, account](const Json::Value& answer) {
            fire_onChannelQueryUserIsIn(channelID, account, json_int(answer, "isin"));
        },
        [this, channelID, account](int, const std::string&) { fire_onChannelQueryUserIsIn(channelID, account, 0); });
}

void InterfaceLinkD::user_channel_query_num(std::string channelID, std::string msgID) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s user_channel_query_num channelID=\"%s\" msgID=\"%s\"",
             mynet::log_time(), kTag, channelID.c_str(), msgID.c_str());
    if (refused_logged_out("channel_query_num", "channel query_num when logouted", [&] {
            fire_onChannelQueryUserNumResult(channelID, nuvra_sdk::GENERAL_E_NOT_LOGIN, 0);
        }))
        return;
    command_call(
        "channel_query_num", "channel_query_num", channel_request(m_line, "name", channelID),
        [this, channelID](const Json::Value& answer) {
            fire_onChannelQueryUserNumResult(channelID, 0, json_int(answer, "num"));
        },
        [this, channelID](int, const std::string&) {
            fire_onChannelQueryUserNumResult(channelID, nuvra_sdk::QUERYUSERNUM_E_OTHER, 0);
        });
}

void InterfaceLinkD::user_channel_set_attr(std::string channelID, std::string name, std::string value) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s user_channel_set_attr channelID=\"%s\" name=\"%s\" value=\"%.100s\"",
             mynet::log_time(), kTag, channelID.c_str(), name.c_str(), value.c_str());
    if (refused_logged_out("channel_set_attr", "not login")) return;
    Json::Value req = channel_request(m_line, "channel", channelID);
    req["name"] = name;
    req["value"] = value;
    command_call("channel_set_attr", "channel_set_attr", req, nullptr, nullptr);
}

void InterfaceLinkD::user_channel_del_attr(std::string channelID, std::string name) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s user_channel_del_attr channelID=\"%s\" name=\"%s\"",
             mynet::log_time(), kTag, channelID.c_str(), name.c_str());
    if (refused_logged_out("channel_del_attr", "not login")) return;
    Json::Value req = channel_request(m_line, "channel", channelID);
    req["name"] = name;
    command_call("channel_del_attr", "channel_del_attr", req, nullptr, nullptr);
}

void InterfaceLinkD::user_channel_clear_attr(std::string channelID) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s user_channel_clear_attr channelID=\"%s\" ", mynet::log_time(), kTag,
             channelID.c_str());
    if (refused_logged_out("channel_clear_attr", "not login")) return;
    command_call("channel_clear_attr", "channel_clear_attr", channel_request(m_line, "channel", channelID), nullptr,
                 nullptr);
}
