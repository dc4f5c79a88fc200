#include "TestServers.h"

#include <cstdlib>
#include <random>

namespace testservers
{
std::string ScriptPath(const char *name)
{
    return std::string(ZELK_SOURCE_DIR) + "/tests/servers/" + name;
}

std::string RandomBytes(size_t count, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(count, '\0');
    for (char &c : bytes)
        c = static_cast<char>(generator() & 0xFF);
    return bytes;
}

bool TestServer::Start(const char *script, const std::vector<std::string> &options)
{
    std::vector<std::string> command{kPython, ScriptPath(script)};
    command.insert(command.end(), options.begin(), options.end());
    return StartProgram(command, "ready ");
}

bool TestServer::StartProgram(const std::vector<std::string> &command, const std::string &readyMarker)
{
    // Transfers to the test servers never go through a proxy the machine may name.
    setenv("no_proxy", "127.0.0.1,localhost", 1);
    setenv("NO_PROXY", "127.0.0.1,localhost", 1);
    m_port = 0;
    m_program = std::make_unique<RunningProgram>(command);
    if (!m_program->Started() || !m_program->WaitForOutput(readyMarker))
        return false;
    // The whole port number has arrived once the line it ends has.
    std::string output = m_program->Output();
    const size_t start = output.find(readyMarker) + readyMarker.size();
    if (output.find('\n', start) == std::string::npos && !m_program->WaitForOutput(output.substr(start) + "\n"))
        return false;
    output = m_program->Output();
    m_port = std::atoi(output.c_str() + start);
    return m_port > 0;
}

bool MakeTestAuthority(const std::string &directory, TestAuthority &authority)
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
