#include <pystring/pystring.h>

#include <memory>

#include "if_linkd.h"
#include "log.h"
#include "net_util.h"

namespace {

// The content of a message whose type needs a JSON object.
bool content_object(const InterfaceLinkD::Msg& msg, Json::Value& obj) {
    return parse_json(msg.content, obj) && obj.isObject();
}

// The four members every invitation signal carries; one missing, or of
// another type, and the signal means nothing.
struct VoipSignal {
    std::string channel;
    std::string peer;
    std::string extra;
    uint32_t peeruid = 0;
};

bool read_voip_signal(const std::string& content, VoipSignal& out) {
    Json::Value obj;
    if (!parse_json(content, obj) || !obj.isObject()) return false;
    const Json::Value& channel = json_member(obj, "channel");
    const Json::Value& peer = json_member(obj, "peer");
    const Json::Value& extra = json_member(obj, "extra");
    const Json::Value& peeruid = json_member(obj, "peeruid");
    if (!channel.isString() || !peer.isString() || !extra.isString() || !peeruid.isUInt()) return false;
    out.channel = json_as_string(channel);
    out.peer = json_as_string(peer);
    out.extra = json_as_string(extra);
    out.peeruid = json_as_uint(peeruid);
    return true;
}

}  // namespace

InterfaceLinkD::Msg* InterfaceLinkD::decode_msg(std::string text, bool process) {
    std::unique_ptr<Msg> msg(new Msg(decode_msg_text(text)));
    if (!process) return msg.release();
    process_msg(msg.get());
    return nullptr;
}

void InterfaceLinkD::process_msg(Msg* msg) {
    if (!msg) return;
    PlatLog2(kLogDebug, kLogPlatform, "%llu : msg.proc %s %s %.100s", mynet::log_time(), msg->src.c_str(),
             msg->t.c_str(), msg->content.c_str());
    if (msg->t == "cmd_report") upload_log();
    if (m_sdkserver_mode) {
        m_callback->onMsg(msg->src, msg->t, msg->content);
        return;
    }
    dispatch_msg(*msg);
}

void InterfaceLinkD::dispatch_msg(const Msg& msg) {
    const std::string& t = msg.t;
    if (t == "appmsg") {
        fire_onMessageAppReceived(msg.content);
        return;
    }
    if (t == "pstn_ring" || t == "pstn_answer" || t == "pstn_bye") {
        Json::Value obj;
        if (!content_object(msg, obj)) return;
        const std::string channel = json_string(obj, "channelName");
        const std::string dest = json_string(obj, "destNum");
        const uint32_t uid = json_uint(obj, "uid");
        if (t == "pstn_ring") fire_onInviteReceivedByPeer(channel, dest, uid);
        else if (t == "pstn_answer") fire_onInviteAcceptedByPeer(channel, dest, uid, "");
        else fire_onInviteEndByPeer(channel, dest, uid, "");
        return;
    }
    if (pystring::startswith(t, "voip_")) {
        dispatch_voip(msg);
        return;
    }
    if (t == "channel_user_join" || t == "channel_user_leave") {
        Json::Value obj;
        if (!content_object(msg, obj)) return;
        if (t == "channel_user_join") fire_onChannelUserJoined(json_string(obj, "account"), json_uint(obj, "uid"));
        else fire_onChannelUserLeaved(json_string(obj, "account"), json_uint(obj, "uid"));
        return;
    }
    if (t == "channel_msg") {
        Json::Value obj;
        if (!content_object(msg, obj)) return;
        fire_onMessageChannelReceive(json_string(obj, "channel"), json_string(obj, "account"), json_uint(obj, "uid"),
                                     json_string(obj, "msg"));
        return;
    }
    if (t == "channel_attr_update") {
        Json::Value obj;
        if (!content_object(msg, obj)) return;
        fire_onChannelAttrUpdated(json_string(obj, "channel"), json_string(obj, "name"), json_string(obj, "value"),
                                  json_string(obj, "type"));
        return;
    }
    if (t == "instant") {
        fire_onMessageInstantReceive(msg.src, 0, msg.content);
        return;
    }
    if (t == "msg_progress") {
        Json::Value obj;
        if (!content_object(msg, obj)) return;
        fire_onMessageSendProgress(msg.src, json_string(obj, "messageID"), json_string(obj, "type"),
                                   json_string(obj, "info"));
    }
}

void InterfaceLinkD::dispatch_voip(const Msg& msg) {
    VoipSignal s;
    if (!read_voip_signal(msg.content, s)) return;
    const std::string& t = msg.t;
    if (t == "voip_invite") {
        fire_onInviteReceived(s.channel, s.peer, s.peeruid, s.extra);
        send_voip_ack(s.channel, s.peer, s.peeruid);
    } else if (t == "voip_invite_ack") {
        fire_onInviteReceivedByPeer(s.channel, s.peer, s.peeruid);
    } else if (t == "voip_invite_accept") {
        fire_onInviteAcceptedByPeer(s.channel, s.peer, s.peeruid, s.extra);
    } else if (t == "voip_invite_refuse") {
        fire_onInviteRefusedByPeer(s.channel, s.peer, s.peeruid, s.extra);
    } else if (t == "voip_invite_failed") {
        fire_onInviteFailed(s.channel, s.peer, s.peeruid, nuvra_sdk::INVITE_E_OTHER, "", s.extra);
    } else if (t == "voip_invite_bye") {
        fire_onInviteEndByPeer(s.channel, s.peer, s.peeruid, s.extra);
    } else if (t == "voip_invite_msg") {
        fire_onInviteMsg(s.channel, s.peer, s.peeruid, s.extra);
    }
}

// Only the oldest lines whose hex fits one frame go now; the rest waits for
// the next request. The last line sent stays in the ring.
void InterfaceLinkD::upload_log() {
    Json::Value req(Json::objectValue);
    req["line"] = m_line;
    req["log"] = "";
    int last = 0;
    const std::string lines = LogGetHead(call_room("log_put", req) / 2, last);
    if (lines.empty()) return;
    req["log"] = mynet::hexlify(lines);
    call_api(0, "log_put", req,
             [last](int result, const std::string&, const Json::Value&) {
                 if (result == 0) LogClear(last);
             },
             false);
}

void InterfaceLinkD::send_voip_ack(std::string channel, std::string peer, uint32_t uid) {
    (void)uid;
    Json::Value req(Json::objectValue);
    req["line"] = m_line;
    req["channelName"] = channel;
    req["peer"] = peer;
    req["extra"] = "";
    call_api(0, "voip_invite_ack", req, [](int, const std::string&, const Json::Value&) {}, false);
}

void InterfaceLinkD::note_msg_wait_clear(const std::string& msgid) { m_msgs_wait_clear.add(msgid); }
