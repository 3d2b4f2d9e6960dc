#include "ProcessTable.h"

#include <gtest/gtest.h>

#include <unistd.h>

using cv::processes::parseStat;

// A process may call itself anything, blanks and parentheses included.
TEST(ProcessTable, ReadsTheFieldsAfterTheLastParenthesis)
{
    const auto stat = parseStat("4242 (a) b) (c) Z 17 4000 4000 0 -1 4194560 90 0\n");
    ASSERT_TRUE(stat);
    EXPECT_EQ(stat->pid, 4242);
    EXPECT_EQ(stat->state, 'Z');
    EXPECT_EQ(stat->parent, 17);
    EXPECT_EQ(stat->group, 4000);
    EXPECT_EQ(stat->flags, 4194560u);
    EXPECT_FALSE(stat->canRun());

    for (const char *bad : {"", "4242 (cut", "4242 (x) S", "4242 (x) S 1 2 3 4", "x (y) S 1 2 3 4 5 6"})
        EXPECT_FALSE(parseStat(bad)) << bad;

    const auto self = cv::processes::readStat(getpid());
    ASSERT_TRUE(self);
    EXPECT_TRUE(self->canRun());
    EXPECT_EQ(self->group, getpgrp());
    EXPECT_FALSE(cv::processes::isRunning(0));
    EXPECT_EQ(cv::processes::commandName(getpid()), cv::processes::commandName(0));
    EXPECT_FALSE(cv::processes::commandName(0).empty());
}
