#include "login_details.h"

#include "json_text.h"

void LoginDetails::clear(bool as_object) {
    std::string().swap(m_members);
    m_object = as_object;
}

void LoginDetails::set(const std::string& key, const Json::Value& value) {
    for (size_t at = 0; at < m_members.size();) {
        const size_t key_end = m_members.find('\0', at);
        const size_t text_end = m_members.find('\0', key_end + 1);
        if (m_members.compare(at, key_end - at, key) == 0) {
            m_members.erase(at, text_end + 1 - at);
            break;
        }
        at = text_end + 1;
    }
    m_members += key;
    m_members += '\0';
    JSON2STRING_append(m_members, value);
    m_members += '\0';
    m_object = true;
}

Json::Value LoginDetails::json() const {
    if (!m_object) return Json::Value();
    Json::Value out(Json::objectValue);
    for (size_t at = 0; at < m_members.size();) {
        const size_t key_end = m_members.find('\0', at);
        const size_t text_end = m_members.find('\0', key_end + 1);
        Json::Value value;
        parse_json(m_members.substr(key_end + 1, text_end - key_end - 1), value);
        out[m_members.substr(at, key_end - at)] = std::move(value);
        at = text_end + 1;
    }
    return out;
}
