#include "patch/DetachedSignature.h"

std::string FormatSignatureFile(const std::vector<PublisherSignature> &signatures)
{
    std::string text;
    for (const PublisherSignature &signature : signatures)
        text += EncodeBase64(signature.data(), signature.size()) + "\n";
    return text;
}

bool ParseSignatureFile(const std::string &text, std::vector<PublisherSignature> &signatures)
{
    if (text.size() > kMaxSignatureFileSize)
        return false;
    std::vector<PublisherSignature> parsed;
    size_t start = 0;
    while (start < text.size())
    {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        PublisherSignature signature;
        if (parsed.size() == kMaxSignatures || !DecodeBase64Line(line, signature.data(), signature.size()))
            return false;
        parsed.push_back(signature);
    }
    signatures = parsed;
    return true;
}

SignatureVerdict VerifyDetachedSignature(const PublisherKey &key, const std::string &data,
                                         const std::string &signatureFile)
{
    return VerifyDetachedSignature(key, data.data(), data.size(), signatureFile);
}

SignatureVerdict VerifyDetachedSignature(const PublisherKey &key, const void *data, size_t size,
                                         const std::string &signatureFile)
{
    std::vector<PublisherSignature> signatures;
    if (!ParseSignatureFile(signatureFile, signatures))
        return SignatureVerdict::Malformed;
    if (signatures.empty())
        return SignatureVerdict::Missing;
    for (const PublisherSignature &signature : signatures)
    {
        if (key.Verify(data, size, signature))
            return SignatureVerdict::Good;
    }
    return SignatureVerdict::Wrong;
}
