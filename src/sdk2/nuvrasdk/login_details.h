#pragma once

#include <json/value.h>

#include <string>

// The details of the last login attempt, reported with its telemetry record.
// Each value is kept as its compact JSON text: every instance that logs in
// holds them for the length of its login, and a tree of their members costs
// several times the text.
class LoginDetails {
public:
    // No members: the null value, or with as_object the empty object.
    void clear(bool as_object);
    // Sets key to value; the details are an object from then on.
    void set(const std::string& key, const Json::Value& value);
    // The details as the value they stand for: null or an object.
    Json::Value json() const;

private:
    // Per member its key, a NUL, its JSON text and a NUL (neither holds a
    // NUL), in the order the members were last set.
    std::string m_members;
    bool m_object = false;
};
