// Names the AES engine a test program runs under (TARN_AES_ENGINE, as the library reads it),
// and skips the program where the processor cannot run the engine asked for: the library
// would quietly choose another one, and the run would pass for an engine it never touched.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

class AesEngineUnderTest : public testing::Environment {
  public:
    void SetUp() override {
        const char* forced = std::getenv("TARN_AES_ENGINE");
        const std::string engine = forced != nullptr ? forced : "chosen per call";
        std::printf("AES engine under test: %s\n", engine.c_str());
        if (engine == "aes-ni" && !__builtin_cpu_supports("aes")) {
            GTEST_SKIP() << "this processor has no AES-NI";
        }
    }
};

const auto* const registered = testing::AddGlobalTestEnvironment(new AesEngineUnderTest);

}  // namespace
