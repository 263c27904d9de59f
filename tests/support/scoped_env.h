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

// Clears the proxy variables of the machine running the tests for one scope, so that loopback
// traffic is never sent anywhere else.
struct NoProxyVariables {
    ScopedEnv http_proxy{"http_proxy", nullptr};
    ScopedEnv https_proxy{"https_proxy", nullptr};
    ScopedEnv all_proxy{"all_proxy", nullptr};
    ScopedEnv no_proxy{"no_proxy", nullptr};
};
