// The runtime-missing message table and the choice of its entry by UI language.
#include <gtest/gtest.h>

#include <string>

#include "missing_runtime_messages.h"

namespace boundstart {
namespace {

const std::u16string kAddress = BOUNDSTART_DOWNLOAD_ADDRESS;

size_t Count(const std::u16string &text, const std::u16string &piece) {
    size_t n = 0;
    for (size_t at = text.find(piece); at != std::u16string::npos; at = text.find(piece, at + 1)) {
        ++n;
    }
    return n;
}

size_t IndexOfTag(const std::string &tag) {
    for (size_t i = 0; i < kMissingRuntimeMessageCount; ++i) {
        if (tag == missingRuntimeMessages[i].languageTag) {
            return i;
        }
    }
    return kMissingRuntimeMessageCount;
}

TEST(BoundstartMessages, AddressIsHttpsWithRuntimePath) {
    EXPECT_EQ(kAddress.rfind(u"https://", 0), 0u);
    EXPECT_EQ(kAddress.substr(kAddress.size() - 8), u"/runtime");
    EXPECT_EQ(Count(kAddress, u"/"), 3u); // the path is "/runtime" and nothing more
}

TEST(BoundstartMessages, EveryTextHoldsTheAddressOnceAndOnlyLineFeeds) {
    for (size_t i = 0; i < kMissingRuntimeMessageCount; ++i) {
        const std::u16string text = missingRuntimeMessages[i].messageText;
        SCOPED_TRACE(missingRuntimeMessages[i].languageTag);
        EXPECT_EQ(Count(text, kAddress), 1u);
        EXPECT_EQ(Count(text, u"https://"), 1u);
        EXPECT_EQ(text.find(u'\r'), std::u16string::npos);
        EXPECT_GE(Count(text, u"\n"), 2u);
        EXPECT_NE(text.find(u"Verimon Tessel"), std::u16string::npos);
        EXPECT_NE(std::u16string(missingRuntimeMessages[i].okLabel), u"");
    }
    const std::u16string option = runtimeOptionMessage;
    EXPECT_EQ(Count(option, kAddress), 1u);
    EXPECT_EQ(option.find(u'\r'), std::u16string::npos);
    EXPECT_NE(option.find(u"\"-runtime <dir>\""), std::u16string::npos);
}

TEST(BoundstartMessages, TableOrderIdsAndFixedDetails) {
    const uint32_t ids[kMissingRuntimeMessageCount] = {
        0x0407, 0x0409, 0x0C0A, 0x040C, 0x0410, 0x0411, 0x0412, 0x0416, 0x0419,
        0x0804, 0x0404, 0x0405, 0x0413, 0x0415, 0x041D, 0x041F, 0x0000};
    for (size_t i = 0; i < kMissingRuntimeMessageCount; ++i) {
        EXPECT_EQ(missingRuntimeMessages[i].languageId, ids[i]) << i;
    }
    EXPECT_STREQ(missingRuntimeMessages[9].languageTag, "zh-Hans");
    EXPECT_STREQ(missingRuntimeMessages[10].languageTag, "zh-Hant");
    EXPECT_STREQ(missingRuntimeMessages[16].languageTag, "");
    // The English entry and the default hold the same text.
    EXPECT_EQ(std::u16string(missingRuntimeMessages[1].messageText),
              std::u16string(missingRuntimeMessages[16].messageText));
    // Entry 11 (Traditional Chinese) ends with a space.
    const std::u16string traditional = missingRuntimeMessages[10].messageText;
    EXPECT_EQ(traditional.back(), u' ');
    EXPECT_EQ(std::u16string(missingRuntimeMessages[2].okLabel), u"Aceptar");
    EXPECT_EQ(std::u16string(missingRuntimeMessages[6].okLabel), u"\uD655\uC778");
}

TEST(BoundstartMessages, ExactIdsPickTheirOwnEntry) {
    for (size_t i = 0; i < kMissingRuntimeMessageCount; ++i) {
        EXPECT_EQ(PickMissingRuntimeMessageFor(
                      static_cast<uint16_t>(missingRuntimeMessages[i].languageId)),
                  i);
    }
}

TEST(BoundstartMessages, SublanguagesFallBackToTheFirstEntryOfTheirPrimaryLanguage) {
    const struct {
        uint16_t id;
        const char *tag;
    } cases[] = {
        {0x0C04, "zh-Hans"}, {0x1004, "zh-Hans"}, {0x1404, "zh-Hans"}, {0x0404, "zh-Hant"},
        {0x0816, "pt"},      {0x040A, "es"},      {0x080A, "es"},      {0x0809, "en"},
        {0x0C0C, "fr"},      {0x0807, "de"},      {0x0813, "nl"},      {0x081D, "sv"},
        {0x0004, "zh-Hans"}, {0x7C04, "zh-Hans"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(PickMissingRuntimeMessageFor(c.id), IndexOfTag(c.tag)) << std::hex << c.id;
    }
}

TEST(BoundstartMessages, UnknownLanguagesGetTheEnglishDefault) {
    // Finnish, Hungarian, a bare sublanguage with primary language 0, and the neutral id.
    for (uint16_t id : {uint16_t{0x040B}, uint16_t{0x040E}, uint16_t{0x0400}, uint16_t{0x0000},
                        uint16_t{0xFFFF}}) {
        EXPECT_EQ(PickMissingRuntimeMessageFor(id), kDefaultMissingRuntimeMessage)
            << std::hex << id;
    }
}

} // namespace
} // namespace boundstart
