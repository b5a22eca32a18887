#include <memory>

#include "if_linkd.h"
#include "log.h"

namespace {

const char* const kTag = "usr";

Json::Value invite_request(const std::string& line, const std::string& channelID) {
    Json::Value req(Json::objectValue);
    req["line"] = line;
    req["channelName"] = channelID;
    return req;
}

int invite_failure_code(int result) {
    return result == -1 ? nuvra_sdk::INVITE_E_OTHER : nuvra_sdk::INVITE_E_TIMEOUT;
}

}  // namespace

void InterfaceLinkD::user_invite_user(std::string channelID, std::string account, uint32_t uid, std::string _extra) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s user_invite_user channelID=\"%s\" account=\"%s\" uid=%u",
             mynet::log_time(), kTag, channelID.c_str(), account.c_str(), uid);
    if (refused_logged_out("invite", "not login", [&] {
            fire_onInviteFailed(channelID, account, uid, nuvra_sdk::GENERAL_E_NOT_LOGIN, "not login", "");
        }))
        return;
    Json::Value extra;
    if (!parse_app_object(_extra, extra)) {
        fire_onInviteFailed(channelID, account, 0, nuvra_sdk::INVITE_E_OTHER, "wrong param extra", "");
        fire_onError("invite", nuvra_sdk::GENERAL_E_WRONG_PARAM, "wrong extra param");
        return;
    }
    Json::Value req = invite_request(m_line, channelID);
    req["peer"] = account;
    stamp_invite_extra(extra);
    req["extra"] = JSON2STRING(extra);
    command_call("invite", "voip_invite", req, nullptr, [this, channelID, account](int result, const std::string& reason) {
        fire_onInviteFailed(channelID, account, 0, invite_failure_code(result), reason, "");
    });
}

void InterfaceLinkD::user_invite_phone(std::string channelID, std::string phoneNum, uint32_t) {
    user_invite_phone2(channelID, phoneNum, m_account, "");
}

void InterfaceLinkD::user_invite_phone2(std::string channelID, std::string phoneNum, std::string sourceNum,
                                        std::string _extra) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s user_invite_phone2 channelID=\"%s\" phoneNum=\"%s\" sourceNum=\"%s\"",
             mynet::log_time(), kTag, channelID.c_str(), phoneNum.c_str(), sourceNum.c_str());
    if (refused_logged_out("invite_phone", "not login", [&] {
            fire_onInviteFailed(channelID, phoneNum, 0, nuvra_sdk::GENERAL_E_NOT_LOGIN, "not login", "");
        }))
        return;
    Json::Value extra;
    if (!parse_app_object(_extra, extra)) {
        fire_onInviteFailed(channelID, phoneNum, 0, nuvra_sdk::INVITE_E_OTHER, "wrong param extra", "");
        fire_onError("invite_phone", nuvra_sdk::GENERAL_E_WRONG_PARAM, "wrong extra param");
        return;
    }
    Json::Value req = invite_request(m_line, channelID);
    req["srcNum"] = sourceNum;
    req["destNum"] = phoneNum;
    const std::string callid = stamp_invite_extra(extra);
    req["extra"] = JSON2STRING(extra);

    const std::string key = channelID + phoneNum;
    auto open = m_invite_ts.find(key);
    if (open != m_invite_ts.end() && !open->second->isdone) open->second->end(false, "recall", Json::Value());
    Json::Value params(Json::objectValue);
    params["channel"] = channelID;
    params["callee"] = phoneNum;
    params["caller"] = sourceNum;
    params["start_time"] = extra["start_time"];
    params["callid"] = callid;
    params["ct"] = "p";
    Reporter2::SPT record = rp.t_start("invite", callid, params);
    keep_invite_record(key, record);

    std::weak_ptr<Reporter2::T> weak_record = record;
    command_call("invite_phone", "pstn_invite", req, nullptr,
                 [this, channelID, phoneNum, key, weak_record](int result, const std::string& reason) {
                     if (Reporter2::SPT mine = weak_record.lock()) drop_invite_record(key, mine.get());
                     fire_onInviteFailed(channelID, phoneNum, 0, invite_failure_code(result), reason, "");
                 });
}

std::string InterfaceLinkD::stamp_invite_extra(Json::Value& extra) {
    if (extra.isNull()) extra = Json::Value(Json::objectValue);
    extra["start_time"] = Json::UInt64(mynet::get_time_in_ms());
    // Two invitations in one millisecond still get distinct ids.
    std::string callid = std::to_string(m_uid) + "_" + std::to_string(next_id_time());
    extra["callid"] = callid;
    return callid;
}

// The map holds at most kMaxInviteRecords: a new number past that pushes the
// oldest record out.
void InterfaceLinkD::keep_invite_record(const std::string& key, Reporter2::SPT record) {
    if (m_invite_ts.size() >= kMaxInviteRecords && m_invite_ts.find(key) == m_invite_ts.end()) {
        auto oldest = m_invite_ts.begin();
        for (auto it = m_invite_ts.begin(); it != m_invite_ts.end(); ++it)
            if (it->second->t0 < oldest->second->t0) oldest = it;
        drop_invite_record(oldest->first);
    }
    m_invite_ts[key] = std::move(record);
}

void InterfaceLinkD::drop_invite_record(const std::string& key, const Reporter2::T* only) {
    auto it = m_invite_ts.find(key);
    if (it == m_invite_ts.end() || (only && it->second.get() != only)) return;
    rp.forget(it->second);
    m_invite_ts.erase(it);
}

void InterfaceLinkD::user_invite_dtmf(std::string channelID, std::string peer, std::string dtmf) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s user_invite_dtmf channelID=\"%s\" peer=\"%s\" dtmf=\"%s\"",
             mynet::log_time(), kTag, channelID.c_str(), peer.c_str(), dtmf.c_str());
    if (refused_logged_out("invite_dtmf", "not login")) return;
    Json::Value body(Json::objectValue);
    body["msgtype"] = "dtmf";
    body["msgdata"] = dtmf;
    Json::Value req = invite_request(m_line, channelID);
    req["peer"] = peer;
    req["extra"] = JSON2STRING(body);
    command_call("invite_dtmf", "voip_invite_msg", req, nullptr, nullptr);
}

void InterfaceLinkD::user_invite_accept(std::string channelID, std::string peer, uint32_t peer_uid,
                                        std::string _extra) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s user_invite_accept channelID=\"%s\" peer=\"%s\" peer_uid=%u",
             mynet::log_time(), kTag, channelID.c_str(), peer.c_str(), peer_uid);
    if (refused_logged_out("invite_accept", "not login")) return;
    Json::Value checked;
    if (!parse_app_object(_extra, checked)) {
        fire_onError("invite_accept", nuvra_sdk::GENERAL_E_WRONG_PARAM, "wrong extra param");
        return;
    }
    Json::Value req = invite_request(m_line, channelID);
    req["peer"] = peer;
    req["extra"] = _extra;
    command_call("invite_accept", "voip_invite_accept", req, nullptr, nullptr);
}

void InterfaceLinkD::user_invite_refuse(std::string channelID, std::string peer, uint32_t peer_uid,
                                        std::string _extra) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s user_invite_refuse channelID=\"%s\" peer=\"%s\" peer_uid=%u",
             mynet::log_time(), kTag, channelID.c_str(), peer.c_str(), peer_uid);
    if (refused_logged_out("invite_refuse", "not login")) return;
    Json::Value checked;
    if (!parse_app_object(_extra, checked)) {
        fire_onError("invite_refuse", nuvra_sdk::GENERAL_E_WRONG_PARAM, "wrong extra param");
        return;
    }
    Json::Value req = invite_request(m_line, channelID);
    req["peer"] = peer;
    req["extra"] = _extra;
    command_call("invite_refuse", "voip_invite_refuse", req, nullptr, nullptr);
}

void InterfaceLinkD::user_invite_end(std::string channelID, std::string peer, uint32_t peer_uid) {
    PlatLog2(kLogInfo, kLogPlatform, "%llu : %-15s user_invite_end channelID=\"%s\" peer=\"%s\" peer_uid=%u",
             mynet::log_time(), kTag, channelID.c_str(), peer.c_str(), peer_uid);
    if (refused_logged_out("invite_end", "not login")) return;
    Json::Value req = invite_request(m_line, channelID);
    req["srcNum"] = m_account;
    req["destNum"] = peer;
    command_call(
        "invite_end", "call_bye", req,
        [this, channelID, peer, peer_uid](const Json::Value&) {
            drop_invite_record(channelID + peer);
            fire_onInviteEndByMyself(channelID, peer, peer_uid);
        },
        nullptr);
}
