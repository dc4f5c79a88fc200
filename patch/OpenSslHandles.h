// Owning handles for the OpenSSL objects that the signature code creates, so that every path
// frees them.
#pragma once

#include <memory>
#include <openssl/bio.h>
#include <openssl/evp.h>

struct OpenSslPkeyDeleter
{
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
using OpenSslPkey = std::unique_ptr<EVP_PKEY, OpenSslPkeyDeleter>;

struct OpenSslMdContextDeleter
{
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
using OpenSslMdContext = std::unique_ptr<EVP_MD_CTX, OpenSslMdContextDeleter>;

struct OpenSslBioDeleter
{
    void operator()(BIO *bio) const { BIO_free(bio); }
};
using OpenSslBio = std::unique_ptr<BIO, OpenSslBioDeleter>;
