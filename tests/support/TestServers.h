// Servers the tests talk to on 127.0.0.1 (the FTP and HTTP(S) servers of tests/servers, or any
// program that says on which port it listens), started by the test and never outliving it, plus
// the small helpers the transfer tests share.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "RunningProgram.h"
#include "TestFiles.h"

namespace testservers
{
// Debian's Python modules are seen by Debian's interpreter, whatever comes first on the PATH.
inline const char *kPython = "/usr/bin/python3";

// The path of a script in tests/servers.
std::string ScriptPath(const char *name);

using testfiles::ReadFile;
using testfiles::TempDirectory;
using testfiles::WriteFile;

std::string RandomBytes(size_t count, unsigned seed);

// One server process. It is ready once its output holds the marker followed by the port it
// listens on; it ends when the object goes, and with the test process whatever way that ends.
class TestServer
{
public:
    // A script of tests/servers, which prints "ready PORT".
    bool Start(const char *script, const std::vector<std::string> &options);
    // Any program; readyMarker is the text just before the port number in its output.
    bool StartProgram(const std::vector<std::string> &command, const std::string &readyMarker);

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

bool MakeTestAuthority(const std::string &directory, TestAuthority &authority);
} // namespace testservers
