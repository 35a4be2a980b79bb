#include <gtest/gtest.h>

#include "tools/modbuilder.h"
#include "tunedump/tunedump.h"

TEST(Smoke, DemoLikeModuleLoads)
{
    static uint8_t image[VEX_IMAGE_BUFFER];
    mb_module m = mb_new("M.K.");
    auto bytes = mb_build(m);
    std::copy(bytes.begin(), bytes.end(), image);
    ASSERT_EQ(vex_init(44100, 4096), 1);
    ASSERT_EQ(vex_get(image), 1);
}
