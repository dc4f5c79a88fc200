// Real FTP and HTTP(S) servers on 127.0.0.1 for the transfer tests, started by the test and
// stopped with it, plus the small file helpers those tests share.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "RunningProgram.h"
#include "TestFiles.h"

namespace testservers
{
// Debian's Python modules are seen by Debian's interpreter, whatever comes first on the PATH.
inline const char *kPython = "/usr/bin/python3";

inline std::string ScriptPath(const char *name)
{
    return std::string(ZELK_SOURCE_DIR) + "/tests/servers/" + name;
}

using testfiles::ReadFile;
using testfiles::TempDirectory;
using testfiles::WriteFile;

inline std::string RandomBytes(size_t count, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(count, '\0');
    for (char &c : bytes)
        c = static_cast<char>(generator() & 0xFF);
    return bytes;
}

// One server process; "ready PORT" on its standard output says it listens.
class TestServer
{
public:
    bool Start(const char *script, const std::vector<std::string> &options)
    {
        // Transfers to the test servers never go through a proxy the machine may name.
        setenv("no_proxy", "127.0.0.1,localhost", 1);
        setenv("NO_PROXY", "127.0.0.1,localhost", 1);
        std::vector<std::string> arguments{kPython, ScriptPath(script)};
        arguments.insert(arguments.end(), options.begin(), options.end());
        m_program = std::make_unique<RunningProgram>(arguments);
        if (!m_program->Started() || !m_program->WaitForOutput("ready ") || !m_program->WaitForOutput("\n"))
            return false;
        const std::string output = m_program->Output();
        m_port = std::atoi(output.c_str() + output.find("ready ") + 6);
        return m_port > 0;
    }

    void Stop() { m_program.reset(); }
    int Port() const { return m_port; }
    std::string Output() const { return m_program ? m_program->Output() : std::string(); }

private:
    std::unique_ptr<RunningProgram> m_program;
    int m_port = 0;
};

// A certificate authority and a server certificate for 127.0.0.1 signed by it, made with openssl.
struct TestAuthority
{
    std::string caCertificate;
    std::string serverCertificate;
    std::string serverKey;
};

inline bool MakeTestAuthority(const std::string &directory, TestAuthority &authority)
{
    authority.caCertificate = directory + "/ca.pem";
    authority.serverCertificate = directory + "/server.pem";
    authority.serverKey = directory + "/server.key";
    const std::string d = "'" + directory + "'";
    const std::string script =
        "cd " + d + " && "
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj '/CN=Zelk Test CA' "
        "-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign && "
        "openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj '/CN=127.0.0.1' && "
        "printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\nbasicConstraints=CA:FALSE\\n' > server.ext && "
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 "
        "-extfile server.ext";
    return std::system(("( " + script + " ) > /dev/null 2>&1").c_str()) == 0;
}
} // namespace testservers
