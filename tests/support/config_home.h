// Points $XDG_CONFIG_HOME (where the service finds its list file and PKI) at a
// folder for one scope.
#pragma once

#include <stdlib.h>

#include <optional>
#include <string>

namespace quorvane::test {

// Points $XDG_CONFIG_HOME (where the service finds its list file and PKI) at
// `dir` for one scope.
class ConfigHome {
public:
    explicit ConfigHome(const std::string& dir) {
        if (const char* old = ::getenv("XDG_CONFIG_HOME")) saved_ = old;
        ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    }
    ~ConfigHome() {
        if (saved_) ::setenv("XDG_CONFIG_HOME", saved_->c_str(), 1);
        else ::unsetenv("XDG_CONFIG_HOME");
    }
    ConfigHome(const ConfigHome&) = delete;
    ConfigHome& operator=(const ConfigHome&) = delete;

private:
    std::optional<std::string> saved_;
};

} // namespace quorvane::test
