// Set documents under a host process whose numeric locale uses a decimal comma.
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "set/json.h"
#include "set_fixture.h"

namespace {

// Switches LC_NUMERIC for one test and restores it afterwards.
class GermanNumbers : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = std::setlocale(LC_NUMERIC, nullptr);
        if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8"))
            FAIL() << "locale de_DE.UTF-8 is not installed; enable it in /etc/locale.gen and run locale-gen";
        char probe[16];
        std::snprintf(probe, sizeof probe, "%.1f", 0.5);
        ASSERT_STREQ(probe, "0,5") << "de_DE.UTF-8 does not use a decimal comma";
    }
    void TearDown() override { std::setlocale(LC_NUMERIC, saved_.c_str()); }

  private:
    std::string saved_;
};

}  // namespace

TEST_F(GermanNumbers, WriterAndReaderKeepTheDecimalPoint) {
    // Reference text written in the "C" locale.
    std::setlocale(LC_NUMERIC, "C");
    settest::EnginePtr a = settest::fresh();
    settest::randomEdits(a.get(), 99, 400);
    brskern_set_param(a.get(), 6, "drive", 0.15f);
    const std::string inC = settest::save(a.get());
    ASSERT_NE(inC.find("\"master\":{\"drive\":0.150000006"), std::string::npos);

    ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);
    EXPECT_EQ(settest::save(a.get()), inC);  // the very same bytes

    settest::EnginePtr b = settest::fresh();
    ASSERT_TRUE(brskern_load_set(b.get(), inC.c_str()));
    EXPECT_EQ(settest::save(b.get()), inC);
    EXPECT_EQ(b->masterDrive, 0.15f);

    // A decimal comma is no number character at all.
    ASSERT_TRUE(brskern_load_set(b.get(), "{\"format\":\"vm-groove/1.0\",\"bpm\":123.25,\"swing\":1.5e1}"));
    EXPECT_EQ(b->bpm, 123.25f);
    EXPECT_EQ(b->swing, 15.0f);
    EXPECT_FALSE(brskern_load_set(b.get(), "{\"format\":\"vm-groove/1.0\",\"bpm\":123,25}"));
    EXPECT_EQ(b->bpm, 123.25f);
}

TEST_F(GermanNumbers, ReaderConvertsLongTokensWithAPoint) {
    const std::string tokens[] = {"0.5", "1.5e3", ".25", "5.", "-0.125",
                                  "3.14159265358979323846264338327950288419716939937510"};
    const double want[] = {0.5, 1500.0, 0.25, 5.0, -0.125, 3.14159265358979323846};
    for (int i = 0; i < 6; ++i) {
        brs::Parser p(tokens[i].data(), tokens[i].size());
        brs::Val v = p.val();
        EXPECT_FALSE(p.error) << tokens[i];
        EXPECT_EQ(v.num, want[i]) << tokens[i];
    }
}
