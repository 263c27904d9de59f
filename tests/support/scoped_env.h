#pragma once

#include <cstdlib>
#include <optional>
#include <string>

// Sets an environment variable for one scope (null: unsets it) and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

// Clears, for one scope, every proxy variable libcurl reads, in both cases, so that loopback
// traffic is never sent anywhere else. Every test and benchmark that touches the network holds one;
// a test that means to use a proxy sets its variable after it.
class NoProxyVariables {
public:
    NoProxyVariables() = default;
    NoProxyVariables(const NoProxyVariables&) = delete;
    NoProxyVariables& operator=(const NoProxyVariables&) = delete;

private:
    ScopedEnv cleared_[10] = {
        {"http_proxy", nullptr},  {"https_proxy", nullptr}, {"ftp_proxy", nullptr},
        {"all_proxy", nullptr},   {"no_proxy", nullptr},    {"HTTP_PROXY", nullptr},
        {"HTTPS_PROXY", nullptr}, {"FTP_PROXY", nullptr},   {"ALL_PROXY", nullptr},
        {"NO_PROXY", nullptr},
    };
};
