#pragma once

// Sets or clears environment variables for one test and puts the old values back after it.
#include <optional>
#include <stdlib.h>
#include <string>
#include <utility>
#include <vector>

namespace tvn::test {

class EnvGuard {
  public:
    EnvGuard() = default;
    ~EnvGuard() {
        for (auto it = saved.rbegin(); it != saved.rend(); ++it) {
            if (it->second)
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                ::unsetenv(it->first.c_str());
        }
    }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

    void Set(const std::string& name, const std::string& value) {
        Save(name);
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    void Unset(const std::string& name) {
        Save(name);
        ::unsetenv(name.c_str());
    }

  private:
    void Save(const std::string& name) {
        const char* value = ::getenv(name.c_str());
        saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
};

} // namespace tvn::test
