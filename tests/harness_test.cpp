#include <gtest/gtest.h>

#include "tests/support/harness.h"

using namespace harness;

TEST(Harness, RecordsANoteWithSample)
{
    mb_module m = mb_new("M.K.");
    m.samples[1] = flat_sample(100, 10, true);
    mb_at(m, 0, 0, 0) = mb_cell{1, 428, 0, 0};
    ASSERT_EQ(load(m), 1);
    record();
    auto cs = for_channel(tick(), 0);
    std::vector<call> want = {{op::volume, 64}, {op::panning, 0}, {op::sample, 1},
                              {op::period, 428}, {op::offset, 0}};
    EXPECT_EQ(cs, want);
}
