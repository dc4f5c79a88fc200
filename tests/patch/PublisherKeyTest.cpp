#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "patch/PublisherKey.h"
#include "publish/PublisherSigningKey.h"

TEST(PublisherKey, VerifyRefusesEveryChange)
{
    const PublisherSigningKey signer = PublisherSigningKey::Generate();
    const PublisherKey key = signer.PublicKey();
    const std::string message = "source-version: 100\n";
    const PublisherSignature signature = signer.Sign(message.data(), message.size());
    ASSERT_TRUE(key.Verify(message.data(), message.size(), signature));

    std::string flipped = message;
    flipped[3] ^= 1;
    PublisherSignature badSignature = signature;
    badSignature[40] ^= 0x80;
    const std::string longer = message + " ";
    EXPECT_FALSE(key.Verify(flipped.data(), flipped.size(), signature));
    EXPECT_FALSE(key.Verify(longer.data(), longer.size(), signature));
    EXPECT_FALSE(key.Verify(message.data(), message.size() - 1, signature));
    EXPECT_FALSE(key.Verify(message.data(), message.size(), badSignature));
    EXPECT_FALSE(PublisherSigningKey::Generate().PublicKey().Verify(message.data(), message.size(), signature));
    EXPECT_FALSE(key.Verify(message.data(), message.size(), PublisherSignature{}));
}

TEST(PublisherKey, KeyTextIsCanonicalBase64OfThirtyTwoBytes)
{
    const PublisherKey key = PublisherSigningKey::Generate().PublicKey();
    const std::string text = key.ToText();
    ASSERT_EQ(text.size(), 44u);
    ASSERT_EQ(text.back(), '=');

    // The line as it stands in a file or a registry value.
    for (const std::string &accepted : {text, text + "\n", text + "\r\n", "  " + text + "\t "})
    {
        PublisherKey parsed;
        EXPECT_TRUE(PublisherKey::FromText(accepted, parsed)) << accepted;
        EXPECT_EQ(parsed, key);
    }

    // The last character before "=" carries two unused bits; a text that sets them decodes to the
    // same bytes but is not the key's text.
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string strayBits = text;
    strayBits[42] = alphabet[alphabet.find(text[42]) ^ 1];
    const std::string refused[] = {
        "",
        text.substr(0, 43),                       // padding missing
        text + "=",                               // padding doubled
        text.substr(0, 20) + " " + text.substr(20), // a space inside
        text.substr(0, 20) + "*" + text.substr(21), // not base64
        EncodeBase64("0123456789012345678901234567890", 31),
        EncodeBase64("012345678901234567890123456789012", 33),
        text + "\n" + text, // two lines
        strayBits,
    };
    for (const std::string &bad : refused)
    {
        PublisherKey parsed = key;
        EXPECT_FALSE(PublisherKey::FromText(bad, parsed)) << bad;
        EXPECT_EQ(parsed, key);
    }
}
