// Whatever a caller passes, the entry points answer with a result and never
// crash: null pointers, zero capacities, over-long texts, calls out of order.
#include "UpdateFixture.h"

#include "pelvane/base/PelvaneErrors.h"

#include <cstring>
#include <filesystem>

using namespace pelvanetest;

namespace
{
class ApiArgumentsTest : public UpdateFixture
{
protected:
    std::int32_t initWith(int nullIndex, const std::string& longText = {}, int longIndex = -1)
    {
        std::vector<std::string> texts = {pin(),     PRODUCT,     "",
                                          extract(), target(),    flagFile(),
                                          "",        "",          "http://127.0.0.1:9",
                                          "",        APPLICATION, LANGUAGE,
                                          "1.0",     "",          ""};
        std::vector<const char*> p;
        for (std::size_t i = 0; i < texts.size(); ++i)
        {
            if (static_cast<int>(i) == longIndex)
            {
                texts[i] = longText;
            }
            p.push_back(static_cast<int>(i) == nullIndex ? nullptr : texts[i].c_str());
        }
        lib().initUpdInterEx(p[0], p[1], p[2], 1, p[3], p[4], p[5], p[6], p[7], p[8], p[9], p[10],
                             p[11], p[12], 30000, 30000, p[13], p[14]);
        return outcome().api;
    }
};
} // namespace

TEST_F(ApiArgumentsTest, CallsBeforeInitialisationAreRefused)
{
    std::int32_t count = -1;
    lib().getVersionCount(&count);
    EXPECT_EQ(outcome().result, 0);
    EXPECT_EQ(outcome().api, pelvane::API_NOT_INITIALISED);
    EXPECT_EQ(count, -1);
    lib().downloadUntil("1.0.0");
    EXPECT_EQ(outcome().api, pelvane::API_NOT_INITIALISED);
    EXPECT_EQ(status().status, 0);
    EXPECT_EQ(lib().closeDownload(), 0);
    EXPECT_EQ(lib().closeUpdInter(), 0);
    EXPECT_EQ(lib().closeUpdInter(), 0);
}

TEST_F(ApiArgumentsTest, EveryNullTextOfInitIsABadArgument)
{
    EXPECT_EQ(initWith(-1), pelvane::API_OK);
    for (int index = 0; index < 15; ++index)
    {
        SCOPED_TRACE(index);
        EXPECT_EQ(initWith(index), pelvane::API_BAD_ARGUMENT);
        EXPECT_EQ(outcome().result, 0);
    }
}

TEST_F(ApiArgumentsTest, OverLongEmptyOrUnsafeTextsAreBadArguments)
{
    const std::string huge(100000, 'a');
    for (int index : {0, 1, 3, 4, 8, 10, 11, 12})
    {
        SCOPED_TRACE(index);
        EXPECT_EQ(initWith(-1, huge, index), pelvane::API_BAD_ARGUMENT);
    }
    // required texts may not be empty
    for (int index : {0, 1, 3, 4, 8, 10, 11})
    {
        SCOPED_TRACE(index);
        EXPECT_EQ(initWith(-1, "", index), pelvane::API_BAD_ARGUMENT);
    }
    EXPECT_EQ(initWith(-1, "ftp://127.0.0.1/", 8), pelvane::API_BAD_ARGUMENT);
    EXPECT_EQ(initWith(-1, "1.x", 12), pelvane::API_BAD_ARGUMENT);
    EXPECT_EQ(initWith(-1, "http://127.0.0.1/\r\nX: y", 8), pelvane::API_BAD_ARGUMENT);
    // Target inside Extract would be swept away with the leftovers
    EXPECT_EQ(initWith(-1, extract() + "/target", 4), pelvane::API_BAD_ARGUMENT);
    EXPECT_EQ(initWith(-1, extract(), 4), pelvane::API_BAD_ARGUMENT);
    EXPECT_EQ(initWith(-1, "/", 3), pelvane::API_BAD_ARGUMENT);

    lib().initUpdInterEx(pin().c_str(), PRODUCT.c_str(), "", 1, extract().c_str(), target().c_str(),
                         "", "", "", "http://127.0.0.1:9", "", APPLICATION.c_str(),
                         LANGUAGE.c_str(), "", 0, 30000, "", "");
    EXPECT_EQ(outcome().api, pelvane::API_BAD_ARGUMENT) << "a zero time-out";
}

TEST_F(ApiArgumentsTest, NullOutputsAndZeroCapacitiesNeverCrash)
{
    publish("1.0.0", {{"a", "b"}}, "notes that are longer than the buffer");
    InitOptions options;
    options.url = "file://" + repo();
    ASSERT_EQ(init(options).result, 1);

    lib().getVersionCount(nullptr);
    EXPECT_EQ(outcome().api, pelvane::API_BAD_ARGUMENT);

    char version[16];
    char notes[16];
    std::int32_t a = 0, b = 0, c = 0;
    lib().getVersionInfo(0, nullptr, 16, notes, 16, &a, &b, &c);
    EXPECT_EQ(outcome().api, pelvane::API_BAD_ARGUMENT);
    lib().getVersionInfo(0, version, 0, notes, 16, &a, &b, &c);
    EXPECT_EQ(outcome().api, pelvane::API_BAD_ARGUMENT);
    lib().getVersionInfo(0, version, 16, notes, -5, &a, &b, &c);
    EXPECT_EQ(outcome().api, pelvane::API_BAD_ARGUMENT);
    lib().getVersionInfo(0, version, 16, notes, 16, nullptr, &b, &c);
    EXPECT_EQ(outcome().api, pelvane::API_BAD_ARGUMENT);
    lib().getVersionInfo(-1, version, 16, notes, 16, &a, &b, &c);
    EXPECT_EQ(outcome().api, pelvane::API_BAD_ARGUMENT);
    lib().getVersionInfo(1, version, 16, notes, 16, &a, &b, &c);
    EXPECT_EQ(outcome().api, pelvane::API_UNKNOWN_VERSION);
    lib().downloadUntil(nullptr);
    EXPECT_EQ(outcome().api, pelvane::API_BAD_ARGUMENT);

    // notes are cut to the capacity, terminator included; nothing beyond is written
    std::memset(notes, '#', sizeof notes);
    lib().getVersionInfo(0, version, 16, notes, 8, &a, &b, &c);
    ASSERT_EQ(outcome().result, 1);
    EXPECT_STREQ(version, "1.0.0");
    EXPECT_STREQ(notes, "notes t");
    EXPECT_EQ(notes[8], '#');
    // a version identifier is never cut: a cut one would name another version
    lib().getVersionInfo(0, version, 3, notes, 8, &a, &b, &c);
    EXPECT_EQ(outcome().api, pelvane::API_BAD_ARGUMENT);

    // polls with null pointers answer an error and leave the outcome alone
    lib().getVersionCount(&a);
    ASSERT_EQ(outcome().result, 1);
    EXPECT_EQ(lib().getStatusUpdInter(nullptr, &a, &b, &c, &c), pelvane::API_BAD_ARGUMENT);
    EXPECT_EQ(lib().getResultUpdInter(nullptr), pelvane::API_BAD_ARGUMENT);
    EXPECT_EQ(lib().getResultUpdInterEx(&a, nullptr, &b), pelvane::API_BAD_ARGUMENT);
    EXPECT_EQ(outcome().result, 1);
}

TEST_F(ApiArgumentsTest, ASecondDownloadWhileOneRunsIsBusyAndLeavesItAlone)
{
    publish("1.0.0", {{"a.bin", patternData(2 << 20, 3)}});
    qortest::ServerProcess web({"nginx", "--root", repo(), "--rate", "1m"});
    ASSERT_TRUE(web.started()) << web.failure();
    InitOptions options;
    options.url = web.url();
    ASSERT_TRUE(startDownload(options));
    ASSERT_EQ(status().status, 1);
    lib().downloadUntil("1.0.0");
    EXPECT_EQ(outcome().api, pelvane::API_BUSY);
    init(options);
    EXPECT_EQ(outcome().api, pelvane::API_BUSY);
    EXPECT_EQ(status().status, 1);
    ASSERT_TRUE(waitForEnd());
    EXPECT_EQ(outcome().result, 1);
}
