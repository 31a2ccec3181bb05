#include "report/data_log_day.h"

#include <gtest/gtest.h>

#include "log/data_log.h"
#include "testing/scratch_directory.h"

namespace {

const CalendarDay kDay{2026, 12, 8};
const char kHeading[] =
    "Date,Time,Input voltage(V),Input frequency(Hz),Output voltage(V),Output frequency(Hz),Load(%),"
    "Internal temperature(C),Battery voltage(V),Battery charge(%)";

struct LineCase {
    const char* name;
    const char* line;
    bool accepted;
    // Which of the eight columns hold a value, and the value of input voltage and charge.
    const char* present;  // eight of '1' / '0'
    double inputVoltage;
    double charge;
};

TEST(DataLogLine, TakesEightMeasurementsAndMarksWhatIsMissing) {
    const LineCase cases[] = {
        {"a full line", "2026/12/08,10:00:05,101.5,50.0,100.0,50.0,35,26.5,27.2,100", true, "11111111", 101.5, 100},
        {"what the UPS did not report", "2026/12/08,10:00:05,--.-,--.-,100.0,--.-,,26.5,27.2,87", true, "00100111", 0,
         87},
        {"text in a field", "2026/12/08,10:00:05,abc,50.0,1e3,50.0,35V,26.5,27.2,80", true, "01010111", 0, 80},
        {"charge the library did not give", "2026/12/08,10:00:05,101.5,50.0,100.0,50.0,35,26.5,27.2,0", true,
         "11111110", 101.5, 0},
        {"charge out of range", "2026/12/08,10:00:05,101.5,50.0,100.0,50.0,35,26.5,27.2,101", true, "11111110",
         101.5, 0},
        {"negative voltage is a value", "2026/12/08,10:00:05,-1.5,50.0,100.0,50.0,35,26.5,27.2,55", true,
         "11111111", -1.5, 55},
        {"the heading", kHeading, false, "", 0, 0},
        {"another day's line", "2026/12/07,23:59:59,101.5,50.0,100.0,50.0,35,26.5,27.2,100", false, "", 0, 0},
        {"cut short", "2026/12/08,10:00:05,101.5,50.0,10", false, "", 0, 0},
        {"one field too many", "2026/12/08,10:00:05,101.5,50.0,100.0,50.0,35,26.5,27.2,100,1", false, "", 0, 0},
        {"damaged time", "2026/12/08,10:0x:05,101.5,50.0,100.0,50.0,35,26.5,27.2,100", false, "", 0, 0},
        {"empty", "", false, "", 0, 0},
    };
    for (const LineCase& c : cases) {
        DataSample sample;
        ASSERT_EQ(ParseDataLogLine(c.line, kDay, sample), c.accepted) << c.name;
        if (!c.accepted) continue;
        EXPECT_EQ(sample.secondOfDay, 36005) << c.name;
        for (int32_t column = 0; column < kDataColumnCount; ++column) {
            EXPECT_EQ(sample.present[column], c.present[column] == '1') << c.name << ", column " << column;
        }
        if (sample.present[kInputVoltage]) {
            EXPECT_DOUBLE_EQ(sample.values[kInputVoltage], c.inputVoltage) << c.name;
        }
        if (sample.present[kBatteryCharge]) {
            EXPECT_DOUBLE_EQ(sample.values[kBatteryCharge], c.charge) << c.name;
        }
    }
}

TEST(DataLogLine, Column8IsTheTemperatureAndColumn9TheBatteryVoltage) {
    DataSample sample;
    ASSERT_TRUE(ParseDataLogLine("2026/12/08,10:00:05,101.5,50.0,100.0,49.9,35,28,13.6,87", kDay, sample));
    EXPECT_DOUBLE_EQ(sample.values[kLoadPercent], 35);
    EXPECT_DOUBLE_EQ(sample.values[kTemperature], 28);
    EXPECT_DOUBLE_EQ(sample.values[kBatteryVoltage], 13.6);
    EXPECT_DOUBLE_EQ(sample.values[kBatteryCharge], 87);
}

class DataLogDayTest : public ::testing::Test {
protected:
    ScratchDirectory scratch;
    DataLogDay Read(const std::string& bytes) {
        scratch.WriteFile("20261208.csv", bytes);
        return ReadDataLogDay(scratch.Path(), kDay);
    }
};

TEST_F(DataLogDayTest, DamagedFilesGiveWhatTheyHoldAndNeverFail) {
    const std::string line1 = "2026/12/08,00:00:30,100.0,50.0,100.0,50.0,30,25.0,27.2,100\r\n";
    const std::string line2 = "2026/12/08,00:01:30,101.0,50.0,100.0,50.0,31,25.0,27.2,100\r\n";
    struct FileCase {
        const char* name;
        std::string bytes;
        size_t samples;
        int32_t skipped;
    } cases[] = {
        {"heading and lines", std::string(kHeading) + "\r\n" + line1 + line2, 2, 0},
        {"heading only", std::string(kHeading) + "\r\n", 0, 0},
        {"empty file", "", 0, 0},
        {"last line cut short by a crash", std::string(kHeading) + "\r\n" + line1 + "2026/12/08,00:01:30,101.0,5", 1, 1},
        {"binary rubbish between lines", std::string(kHeading) + "\r\n" + line1 + std::string("\0\xFF\x01,,\r\n", 7) + line2,
         2, 1},
        {"another day's lines", std::string(kHeading) + "\r\n" + line1 +
                                    "2026/12/09,00:02:30,101.0,50.0,100.0,50.0,31,25.0,27.2,100\r\n", 1, 1},
        {"no heading", line1 + line2, 2, 0},
    };
    for (const FileCase& c : cases) {
        const DataLogDay day = Read(c.bytes);
        EXPECT_TRUE(day.fileFound) << c.name;
        EXPECT_EQ(day.samples.size(), c.samples) << c.name;
        EXPECT_EQ(day.skippedLines, c.skipped) << c.name;
    }
}

TEST_F(DataLogDayTest, AMissingFileIsNoDataAndLinesComeInTimeOrder) {
    const DataLogDay missing = ReadDataLogDay(scratch.Path(), CalendarDay{2026, 12, 7});
    EXPECT_FALSE(missing.fileFound);
    EXPECT_TRUE(missing.samples.empty());

    // The clock set back an hour writes an earlier time after a later one.
    const DataLogDay day = Read(std::string(kHeading) + "\r\n" +
                                "2026/12/08,10:00:00,100.0,50.0,100.0,50.0,30,25.0,27.2,100\r\n"
                                "2026/12/08,09:00:30,100.0,50.0,100.0,50.0,30,25.0,27.2,100\r\n");
    ASSERT_EQ(day.samples.size(), 2u);
    EXPECT_EQ(day.samples[0].secondOfDay, 9 * 3600 + 30);
    EXPECT_EQ(day.samples[1].secondOfDay, 10 * 3600);
}

}  // namespace
