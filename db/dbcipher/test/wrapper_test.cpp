// The wrapper layer's promise to the server: no exception ever leaves it, and a library
// failure arrives as a status the SQL functions can turn into an ERROR.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "aes_encr_wrapper.h"
#include "encDec.h"

namespace {

TEST(GuardedStatus, TurnsEveryExceptionIntoAStatus) {
    const struct {
        const char* name;
        std::function<int()> call;
        int expected;
    } cases[] = {
        {"plain status", [] { return 1; }, 1},
        {"zero status", [] { return 0; }, 0},
        {"bad_alloc", []() -> int { throw std::bad_alloc(); }, c_outOfMemory},
        {"bad_array_new_length", []() -> int { throw std::bad_array_new_length(); }, c_outOfMemory},
        {"runtime_error", []() -> int { throw std::runtime_error("x"); }, c_libraryFailure},
        {"non-standard exception", []() -> int { throw 42; }, c_libraryFailure},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(guardedStatus(c.call), c.expected);
    }
}

// The statuses the SQL functions look at are the library's own, passed through unchanged.
TEST(Wrappers, PassLibraryStatusesThrough) {
    char key[] = "q7Vm2x";
    std::string tooLong(legacyMaxClearLength + 1, 'x');
    std::vector<char> ascii(legacyTextCapacity(tooLong.size()), '\0');
    EXPECT_EQ(c_encryptData(tooLong.data(), key, ascii.data()), 0);
    EXPECT_EQ(ascii[0], '\0');

    char refused[] = "@AZiT_mA8Pj0";
    std::vector<char> plain(legacyPlainCapacity(sizeof refused), '\0');
    EXPECT_EQ(c_decryptData(refused, key, plain.data()), 0);

    char crit1[] = "ab";
    char crit2[] = "cde";
    char salt[3] = {};
    EXPECT_EQ(c_computeSalt(crit1, crit2, salt), 0);
    EXPECT_STREQ(salt, "bc");

    uint32_t mangled = 0;
    EXPECT_EQ(c_manglePort(8080, &mangled), static_cast<uint32_t>(manglePort(8080)));
    EXPECT_EQ(mangled, static_cast<uint32_t>(manglePort(8080)));
}

}  // namespace
