// The control file through which a master and its workers share the work:
// positioned reads and writes that see each other at once, bytes past the
// end that read as zero (an idle task), job slots of either command, and the
// paths of the control and part files.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "tasks/control_file.h"
#include "tests/test_support.h"

namespace {

class ControlFileTest : public testing::Test {
protected:
    void SetUp() override
    {
        path_ = temp_.path() + "/master.tmp";
        FileHandle created = open_file(path_.c_str(), FILE_READ_WRITE, CREATE_NEW_FILE);
        ASSERT_NE(created, NO_FILE);
        close_file(created);
        ASSERT_TRUE(open_control_file(master_, path_.c_str(), COMPRESS_JOB_STRIDE));
        ASSERT_TRUE(open_control_file(worker_, path_.c_str(), COMPRESS_JOB_STRIDE));
    }

    test_support::TempDir temp_;
    std::string path_;
    ControlFile master_, worker_;  // two handles on one file, as two processes hold it
};

TEST_F(ControlFileTest, BytesPastTheEndReadAsZeroAndWritesFillTheGap)
{
    // A fresh file: every task reads idle, and the reader's copy follows.
    worker_.task_status[3] = TASK_BUSY;
    EXPECT_EQ(read_task_status(worker_, 3), TASK_IDLE);
    EXPECT_EQ(worker_.task_status[3], TASK_IDLE);

    // A status written far out fills the gap with zeros: the tasks before
    // it stay idle, and the other handle sees the write at once.
    write_task_status(master_, 7, TASK_BUSY);
    EXPECT_EQ(file_length(master_.handle), 8);
    EXPECT_EQ(read_task_status(worker_, 7), TASK_BUSY);
    for (int task = 1; task < 7; ++task) EXPECT_EQ(read_task_status(worker_, task), TASK_IDLE) << task;
    EXPECT_EQ(read_task_status(worker_, 8), TASK_IDLE);

    // A read that reaches past the end gets the bytes there and zeros after.
    const uint8_t data[4] = {9, 8, 7, 6};
    write_control_bytes(master_, data, 300, 4);
    uint8_t got[8];
    std::memset(got, 0xAA, sizeof got);
    read_control_bytes(worker_, got, 302, 8);
    const uint8_t expected[8] = {7, 6, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(got, expected, sizeof got), 0);

    const uint8_t stop = TASK_STOP;
    write_control_byte(worker_, &stop, 7);
    EXPECT_EQ(read_task_status(master_, 7), TASK_STOP);
}

TEST_F(ControlFileTest, JobSlotsOfEitherCommand)
{
    EXPECT_EQ(job_slot_offset(master_, 1), JOB_AREA_OFFSET);
    EXPECT_EQ(job_slot_offset(master_, 4), JOB_AREA_OFFSET + 3 * COMPRESS_JOB_STRIDE);
    ControlFile extract;
    ASSERT_TRUE(open_control_file(extract, path_.c_str(), EXTRACT_JOB_STRIDE));
    EXPECT_EQ(job_slot_offset(extract, 99), JOB_AREA_OFFSET + 98 * EXTRACT_JOB_STRIDE);
    // The slot of the last task lies wholly beyond the status bytes of every task.
    EXPECT_GT(JOB_AREA_OFFSET, MAX_TASKS);

    // A slot written by one handle reads back whole through the other, the
    // integers in little-endian order.
    const int32_t slot = job_slot_offset(master_, 2);
    const uint32_t n = 6;
    const uint64_t start = 0x0102030405060708ull;
    write_control_bytes(master_, &n, slot, 4);
    write_control_bytes(master_, "a.txt", slot + 4, 6);
    write_control_bytes(master_, &start, slot + 10, 8);
    uint8_t raw[18];
    read_control_bytes(worker_, raw, slot, 18);
    EXPECT_EQ(raw[0], 6);
    EXPECT_STREQ(reinterpret_cast<const char*>(raw + 4), "a.txt");
    EXPECT_EQ(raw[10], 0x08);
    EXPECT_EQ(raw[17], 0x01);
}

TEST(TaskFilePaths, JoinedWithOneSeparatorAndNumbered)
{
    char out[PLATFORM_PATH_LIMIT + 1];
    // Joined with the platform's separator ('\\' on Windows).
    ASSERT_TRUE(form_task_file_path(out, sizeof out, "/w", CONTROL_FILE_NAME, 0));
    EXPECT_EQ(std::string(out), std::string("/w") + PATH_SEPARATOR + "master.tmp");
    ASSERT_TRUE(form_task_file_path(out, sizeof out, "/w/", "pack.zdl", 12));
    EXPECT_STREQ(out, "/w/pack.zdl12");
    // A path that does not fit is refused, never cut.
    char small[12];
    EXPECT_FALSE(form_task_file_path(small, sizeof small, "/w", "pack.zdl", 2));
    EXPECT_TRUE(form_task_file_path(small, sizeof small, "/w", "pack.zd", 2));
    const std::string deep(PLATFORM_PATH_LIMIT - 10, 'd');
    EXPECT_FALSE(form_task_file_path(out, sizeof out, deep.c_str(), "pack.zdl", 12));
}

}  // namespace
