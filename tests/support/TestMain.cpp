// The test programs' main: GoogleTest's own, and for a stress run the
// schedule seed of each repetition. With BRISUM_PROCESSORS set, repetition I
// of --gtest_repeat runs every world on schedule seed BRISUM_SCHEDULE_SEED
// + I, so one process explores as many schedules as it repeats; each test
// that fails says which seed replays it.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

class SeedPerRepetition : public ::testing::EmptyTestEventListener {
public:
    explicit SeedPerRepetition(std::uint64_t First) : first_(First) {}

    void OnTestIterationStart(const ::testing::UnitTest &, int Iteration) override
    {
        seed_ = first_ + static_cast<std::uint64_t>(Iteration);
        const std::string Text = std::to_string(seed_);
        setenv("BRISUM_SCHEDULE_SEED", Text.c_str(), 1);
        std::printf("stress: seed %" PRIu64 "\n", seed_); /* the last one names a seed that crashed */
        std::fflush(stdout);
    }
    void OnTestEnd(const ::testing::TestInfo &Info) override
    {
        if (Info.result()->Failed())
            std::printf("stress: %s.%s failed on seed %" PRIu64 "\n", Info.test_suite_name(), Info.name(), seed_);
    }

private:
    std::uint64_t first_;
    std::uint64_t seed_ = 0;
};

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    const char *Processors = std::getenv("BRISUM_PROCESSORS");
    if (Processors != nullptr && std::atoi(Processors) > 1) {
        const char *Seed = std::getenv("BRISUM_SCHEDULE_SEED");
        const std::uint64_t First = Seed != nullptr ? std::strtoull(Seed, nullptr, 0) : 1;
        ::testing::UnitTest::GetInstance()->listeners().Append(new SeedPerRepetition(First));
    }
    return RUN_ALL_TESTS();
}
