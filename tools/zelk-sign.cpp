// zelk-sign keygen|public|sign|verify|verify-payload ...: the publisher's Ed25519 keys and
// signatures, for patch lists and standalone patchers.
#include <cstdio>
#include <string>
#include <vector>

#include "kernel/TextConvert.h"
#include "patch/PatchPayload.h"
#include "patch/PublisherKey.h"
#include "publish/PublisherFiles.h"
#include "publish/PublisherSigningKey.h"
#include "tools/ToolCommandLine.h"

namespace
{
// What verify says of a signature that is not good, as scripts test it.
constexpr int kExitNotGood = 1;

const char kUsage[] =
    "Usage: zelk-sign keygen PRIVATE PUBLIC\n"
    "       zelk-sign public PRIVATE\n"
    "       zelk-sign sign PRIVATE... FILE\n"
    "       zelk-sign verify PUBLIC FILE\n"
    "       zelk-sign verify-payload PUBLIC PATCHER\n"
    "The publisher's Ed25519 keys and signatures.\n"
    "\n"
    "  keygen          makes a new key: PRIVATE (PKCS #8 PEM, readable by its owner only) and\n"
    "                  PUBLIC (one line, the base64 of the 32-byte public key: the line that goes\n"
    "                  into the registry value PublisherKey); never replaces an existing file\n"
    "  public          prints the public key line of PRIVATE\n"
    "  sign            writes FILE.sig: one line per key, the base64 of its signature over the\n"
    "                  exact bytes of FILE (several keys while patchers move to a new key)\n"
    "  verify          checks that FILE.sig holds a good signature of FILE by PUBLIC\n"
    "  verify-payload  checks that the payload of the standalone patcher PATCHER carries a good\n"
    "                  signature by PUBLIC (zelk-mkpayload --sign)\n"
    "  --help          show this text\n"
    "\n"
    "PRIVATE may also be an Ed25519 key made by openssl (openssl genpkey -algorithm ed25519).\n"
    "\n"
    "Exit status: 0 success or a good signature, 1 wrong arguments or a signature that is not\n"
    "good, 2 the work could not be done.\n";

using Operands = std::vector<std::string>;

int Keygen(const ToolCommandLine &line, const Operands &operands)
{
    std::string error;
    const PublisherSigningKey key = PublisherSigningKey::Generate();
    if (!WriteNewKeyPair(key, NativeToPath(operands[0]), NativeToPath(operands[1]), error))
        return line.Failure(error);
    return kToolExitSuccess;
}

int PrintPublic(const ToolCommandLine &line, const Operands &operands)
{
    std::string error;
    PublisherSigningKey key;
    if (!LoadSigningKeyFile(NativeToPath(operands[0]), key, error))
        return line.Failure(error);
    std::printf("%s\n", key.PublicKey().ToText().c_str());
    return kToolExitSuccess;
}

int Sign(const ToolCommandLine &line, const Operands &operands)
{
    std::string error;
    std::vector<PublisherSigningKey> keys;
    std::vector<const PublisherSigningKey *> signers;
    if (!LoadSigningKeyFiles(Operands(operands.begin(), operands.end() - 1), keys, signers, error))
        return line.Failure(error);
    if (!SignFile(signers, NativeToPath(operands.back()), error))
        return line.Failure(error);
    return kToolExitSuccess;
}

SignatureVerdict FileVerdict(const PublisherKey &key, const std::string &file)
{
    return VerifyFileSignature(key, NativeToPath(file));
}

SignatureVerdict PayloadVerdict(const PublisherKey &key, const std::string &patcher)
{
    PatchPayload payload;
    if (payload.Open(NativeToPath(patcher)) != ZELKRESULT_OK)
        return SignatureVerdict::Unreadable;
    return payload.VerifySignature(key);
}

int Verify(const ToolCommandLine &line, const Operands &operands,
           SignatureVerdict (*verdictOf)(const PublisherKey &, const std::string &))
{
    std::string error;
    PublisherKey key;
    if (!LoadPublicKeyFile(NativeToPath(operands[0]), key, error))
        return line.Failure(error);
    const SignatureVerdict verdict = verdictOf(key, operands[1]);
    if (verdict != SignatureVerdict::Good)
        return line.Failure(operands[1] + ": " + DescribeSignatureVerdict(verdict), kExitNotGood);
    std::printf("%s: %s\n", operands[1].c_str(), DescribeSignatureVerdict(verdict));
    return kToolExitSuccess;
}

struct Command
{
    const char *name;
    Operands operands;
    bool moreKeys; // the first operand may be given more than once
    int (*run)(const ToolCommandLine &, const Operands &);
};

const Command kCommands[] = {
    {"keygen", {"PRIVATE", "PUBLIC"}, false, Keygen},
    {"public", {"PRIVATE"}, false, PrintPublic},
    {"sign", {"PRIVATE", "FILE"}, true, Sign},
    {"verify", {"PUBLIC", "FILE"}, false,
     [](const ToolCommandLine &line, const Operands &operands) { return Verify(line, operands, FileVerdict); }},
    {"verify-payload", {"PUBLIC", "PATCHER"}, false,
     [](const ToolCommandLine &line, const Operands &operands) { return Verify(line, operands, PayloadVerdict); }},
};
} // namespace

int main(int argc, char **argv)
{
    // The command comes first; what follows it, "--help" and every mistake read as in every tool.
    const std::string name = argc > 1 ? argv[1] : "";
    if (name.empty() || name[0] == '-')
    {
        ToolCommandLine line("zelk-sign", kUsage, {"COMMAND"});
        if (!line.Parse(argc, argv))
            return line.ExitStatus();
        return line.UsageError("unknown command " + line.Operands()[0]);
    }
    for (const Command &command : kCommands)
    {
        if (name != command.name)
            continue;
        Operands operands = command.operands;
        if (command.moreKeys)
        {
            int given = 0;
            for (int i = 2; i < argc; ++i)
                given += std::string(argv[i]).size() < 2 || argv[i][0] != '-' ? 1 : 0;
            for (int extra = given - static_cast<int>(operands.size()); extra > 0; --extra)
                operands.insert(operands.begin(), operands.front());
        }
        ToolCommandLine line("zelk-sign", kUsage, operands);
        if (!line.Parse(argc - 1, argv + 1))
            return line.ExitStatus();
        return command.run(line, line.Operands());
    }
    ToolCommandLine line("zelk-sign", kUsage, {"COMMAND"});
    return line.UsageError("unknown command " + name);
}
