#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>

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

// A folder of the scope's own under the system's temporary folder, removed with all it holds when
// the scope ends.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = std::filesystem::temp_directory_path() / "recv-html-test-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Keeps this machine's proxy settings out of one scope, so that loopback traffic is never sent
// anywhere else: every proxy variable libcurl reads is cleared, in both cases, and no desktop
// session is named, with GSettings in memory, so that libproxy reads no desktop's settings. Every
// test and benchmark that touches the network holds one; a test that means to use a proxy sets it
// up after.
class NoProxySettings {
public:
    NoProxySettings() = default;
    NoProxySettings(const NoProxySettings&) = delete;
    NoProxySettings& operator=(const NoProxySettings&) = delete;

private:
    ScopedEnv cleared_[14] = {
        {"http_proxy", nullptr},
        {"https_proxy", nullptr},
        {"ftp_proxy", nullptr},
        {"all_proxy", nullptr},
        {"no_proxy", nullptr},
        {"HTTP_PROXY", nullptr},
        {"HTTPS_PROXY", nullptr},
        {"FTP_PROXY", nullptr},
        {"ALL_PROXY", nullptr},
        {"NO_PROXY", nullptr},
        // What libproxy takes for a GNOME or KDE session.
        {"DESKTOP_SESSION", nullptr},
        {"GNOME_DESKTOP_SESSION_ID", nullptr},
        {"KDE_FULL_SESSION", nullptr},
        {"XDG_CURRENT_DESKTOP", nullptr},
    };
    ScopedEnv backend_{"GSETTINGS_BACKEND", "memory"};
};

// GNOME's proxy settings for one scope, as a GNOME session keeps them, but in a file of the scope's
// own: `keyfile` is the text of GSettings' keyfile, its groups named after the settings' paths:
//     [system/proxy]
//     mode='manual'
//     ignore-hosts=['10.0.0.0/8']
//     [system/proxy/http]
//     host='127.0.0.1'
//     port=3128
// Hold a NoProxySettings around it.
class GnomeProxySettings {
public:
    explicit GnomeProxySettings(const std::string& keyfile) {
        const std::filesystem::path dir =
            std::filesystem::path(config_.path()) / "glib-2.0" / "settings";
        std::filesystem::create_directories(dir);
        std::ofstream(dir / "keyfile") << keyfile;
    }
    GnomeProxySettings(const GnomeProxySettings&) = delete;
    GnomeProxySettings& operator=(const GnomeProxySettings&) = delete;

private:
    TempFolder config_;
    ScopedEnv config_home_{"XDG_CONFIG_HOME", config_.path().c_str()};
    ScopedEnv backend_{"GSETTINGS_BACKEND", "keyfile"};
    ScopedEnv session_{"DESKTOP_SESSION", "gnome"};
};
