// A registry file of the test's own: PELMO_REGISTRY names it while the object lives.
#pragma once

#include <cstdlib>
#include <string>

#include "TestFiles.h"

namespace testfiles
{
class ScopedRegistry
{
public:
    // content, when given, is written below the registry file's first line.
    explicit ScopedRegistry(const std::string &path, const std::string &content = std::string())
    {
        if (!content.empty())
            WriteFile(std::filesystem::path(path), "Windows Registry Editor Version 5.00\n\n" + content);
        const char *old = getenv("PELMO_REGISTRY");
        m_hadOld = old != nullptr;
        if (m_hadOld)
            m_old = old;
        setenv("PELMO_REGISTRY", path.c_str(), 1);
    }
    ~ScopedRegistry()
    {
        if (m_hadOld)
            setenv("PELMO_REGISTRY", m_old.c_str(), 1);
        else
            unsetenv("PELMO_REGISTRY");
    }
    ScopedRegistry(const ScopedRegistry &) = delete;
    ScopedRegistry &operator=(const ScopedRegistry &) = delete;

private:
    std::string m_old;
    bool m_hadOld = false;
};
} // namespace testfiles
