#include "publish/PublisherFiles.h"

#include <cerrno>
#include <cstring>

#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "net/ZelkDataBuffer.h"
#include "patch/DetachedSignature.h"
#include "publish/PublisherSigningKey.h"

namespace
{
// A key file is one line, or a PEM block of a few lines.
constexpr uint64_t kMaxKeyFileSize = 64 * 1024;
// The public key is given to every patcher; anyone may read it.
constexpr uint32_t kPublicKeyMode = 0644;
} // namespace

bool ReadPublisherFile(const std::wstring &path, uint64_t limit, std::string &bytes, std::string &error)
{
    const ZELKRESULT result = ReadWholeFile(path, bytes, limit);
    if (result == ZELKRESULT_OK)
        return true;
    const std::string name = PathToNative(path);
    if (result == ZELKRESULT_NO_MEMORY)
        error = FormatText("%s is larger than %llu bytes", name.c_str(), static_cast<unsigned long long>(limit));
    else
        error = "cannot read " + name + ": " + std::strerror(errno);
    return false;
}

bool WritePublisherFile(const std::wstring &path, const std::string &bytes, std::string &error)
{
    if (WriteWholeFile(path, bytes))
        return true;
    error = "cannot write " + PathToNative(path) + ": " + std::strerror(errno);
    return false;
}

bool LoadPublicKeyFile(const std::wstring &path, PublisherKey &key, std::string &error)
{
    std::string text;
    if (!ReadPublisherFile(path, kMaxKeyFileSize, text, error))
        return false;
    if (!PublisherKey::FromText(text, key))
    {
        error = PathToNative(path) + " does not hold a public key (one line: the base64 of 32 bytes)";
        return false;
    }
    return true;
}

bool LoadSigningKeyFile(const std::wstring &path, PublisherSigningKey &key, std::string &error)
{
    std::string pem;
    if (!ReadPublisherFile(path, kMaxKeyFileSize, pem, error))
        return false;
    if (!key.FromPem(pem, error))
    {
        error = PathToNative(path) + ": " + error;
        return false;
    }
    return true;
}

bool LoadSigningKeyFiles(const std::vector<std::string> &nativePaths, std::vector<PublisherSigningKey> &keys,
                         std::vector<const PublisherSigningKey *> &signers, std::string &error)
{
    keys = std::vector<PublisherSigningKey>(nativePaths.size());
    for (size_t i = 0; i < keys.size(); ++i)
    {
        if (!LoadSigningKeyFile(NativeToPath(nativePaths[i]), keys[i], error))
            return false;
        signers.push_back(&keys[i]);
    }
    return true;
}

bool WriteNewKeyPair(const PublisherSigningKey &key, const std::wstring &privatePath, const std::wstring &publicPath,
                     std::string &error)
{
    for (const std::wstring &path : {privatePath, publicPath})
    {
        if (FileExists(path))
        {
            error = PathToNative(path) + " exists already; a key file is never replaced";
            return false;
        }
    }
    if (!CreatePrivateFile(privatePath, key.ToPem()))
    {
        error = "cannot create " + PathToNative(privatePath);
        return false;
    }
    // Created new like the private key: the check above cannot keep out a file that appears later.
    if (!CreateNewFile(publicPath, key.PublicKey().ToText() + "\n", kPublicKeyMode))
    {
        error = "cannot create " + PathToNative(publicPath);
        DeleteFileAt(privatePath);
        return false;
    }
    return true;
}

bool SignFile(const std::vector<const PublisherSigningKey *> &keys, const std::wstring &path, std::string &error)
{
    std::string data;
    if (!ReadPublisherFile(path, kMaxSignedFileSize, data, error))
        return false;
    std::vector<PublisherSignature> signatures;
    for (const PublisherSigningKey *key : keys)
        signatures.push_back(key->Sign(data.data(), data.size()));
    return WritePublisherFile(path + NarrowToWide(kSignatureSuffix), FormatSignatureFile(signatures), error);
}

SignatureVerdict VerifyFileSignature(const PublisherKey &key, const std::wstring &path)
{
    std::string error;
    std::string data;
    if (!ReadPublisherFile(path, kMaxSignedFileSize, data, error))
        return SignatureVerdict::Unreadable;
    const std::wstring signaturePath = path + NarrowToWide(kSignatureSuffix);
    if (!FileExists(signaturePath))
        return SignatureVerdict::Missing;
    std::string signatureFile;
    if (!ReadPublisherFile(signaturePath, kMaxSignatureFileSize, signatureFile, error))
        return SignatureVerdict::Malformed;
    return VerifyDetachedSignature(key, data, signatureFile);
}
