// The settings record: loading with ranges and defaults, saving, and the
// per-stream reset, observed through the registry contents.

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <utility>

#include "driver/device_extension.h"
#include "platform/kernel/registry_store.h"
#include "settings/settings_record.h"

using namespace zm4::host;

namespace {

using Values = std::map<std::string, uint32_t>;

// The loaded settings by their registry names.
Values loaded(const SETTINGS_RECORD &s)
{
    return {{"Brightness", s.brightness},   {"Contrast", s.contrast},    {"Saturation", s.saturation},
            {"VidConf", s.compressionMode}, {"ConfValue", s.confValue},  {"CapValue", s.capValue},
            {"Framerate", s.frameRate},     {"Backlit", s.backlight},    {"Flicker", s.flicker},
            {"FlickerMains", s.mains},      {"AutoFR", s.autoFrameRate}, {"ExpMode", s.exposureMode},
            {"ExpCoarse", s.expCoarse},     {"ExpFine", s.expFine},      {"ExpGain", s.expGain},
            {"AcbMode", s.acbMode},         {"AcbGainR", s.acbRed},      {"AcbGainG", s.acbGreen},
            {"AcbGainB", s.acbBlue},        {"CompR", s.baseCompR},      {"CompG1", s.baseCompG1},
            {"CompG2", s.baseCompG2},       {"CompB", s.baseCompB},      {"NoDataValue", s.noDataValue},
            {"Microscope", s.microscope}};
}

const Values kDefaults = {
    {"Brightness", 5000}, {"Contrast", 5000}, {"Saturation", 5000}, {"VidConf", 0},       {"ConfValue", 5},
    {"CapValue", 5},      {"Framerate", 1},   {"Backlit", 0},       {"Flicker", 1},       {"FlickerMains", 1},
    {"AutoFR", 1},        {"ExpMode", 2},     {"ExpCoarse", 185},   {"ExpFine", 1},       {"ExpGain", 0},
    {"AcbMode", 2},       {"AcbGainR", 30},   {"AcbGainG", 3},      {"AcbGainB", 50},     {"CompR", 220},
    {"CompG1", 214},      {"CompG2", 214},    {"CompB", 230},       {"NoDataValue", 255}, {"Microscope", 0}};

class SettingsRecordTest : public ::testing::Test {
protected:
    std::unique_ptr<RegistryStore> store_ = RegistryStore::inMemory();
    RegistryScope scope_{*store_};
    // The port library hands the driver a zero-filled extension.
    std::unique_ptr<DEVICE_EXTENSION> ext_ = std::make_unique<DEVICE_EXTENSION>();
    SETTINGS_RECORD &s_ = ext_->settings;

    void put(const Values &values)
    {
        for (const auto &[name, value] : values)
            ASSERT_TRUE(store_->write(kDriverKeyPath, name, RegistryValue::dword(value)));
    }
    Values dwords() const
    {
        Values out;
        for (const auto &[name, value] :
             store_->values(kDriverKeyPath).value_or(std::vector<zm4::host::NamedValue>{}))
            if (auto d = value.asDword())
                out[name] = *d;
        return out;
    }
};

TEST_F(SettingsRecordTest, EmptyOrNoRegistryLoadsDefaults)
{
    zm4::host::setCurrentRegistry(nullptr);
    std::memset(&s_, 0xFF, sizeof s_);
    PropMan_Load(ext_.get());
    zm4::host::setCurrentRegistry(store_.get());
    EXPECT_EQ(loaded(s_), kDefaults);

    std::memset(&s_, 0x5A, sizeof s_);
    PropMan_Load(ext_.get());
    // Without the key the first read (brightness) fails and its default is
    // written back, which creates the key; every later value is then merely
    // missing, which reads as its default and is not written.
    EXPECT_EQ(dwords(), (Values{{"Brightness", 5000}}));
    EXPECT_EQ(loaded(s_), kDefaults);
    // Caches and rows start empty, the gain ceiling at 2.
    EXPECT_EQ(s_.firmwareVersion | s_.sensorVersion | s_.matrixRow1 | s_.matrixRow2 | s_.matrixRow3, 0u);
    EXPECT_EQ(s_.gainCeiling, 2u);
    // Per-stream fields are not the load's business.
    EXPECT_EQ(s_.gpioValue, 0x5A5A5A5Au);
    EXPECT_EQ(s_.roiTopOffset, 0x5A5A5A5Au);
}

// Every setting's range as the driver accepts it from the registry.
const std::map<std::string, std::pair<uint32_t, uint32_t>> kRanges = {
    {"Brightness", {0, 10000}}, {"Contrast", {0, 10000}}, {"Saturation", {0, 10000}},
    {"VidConf", {0, 1}},        {"ConfValue", {1, 10}},   {"CapValue", {1, 10}},
    {"Framerate", {1, 5}},      {"Backlit", {0, 1}},      {"Flicker", {0, 1}},
    {"FlickerMains", {0, 1}},   {"AutoFR", {0, 1}},       {"ExpMode", {0, 3}},
    {"ExpCoarse", {0, 302}},    {"ExpFine", {0, 255}},    {"ExpGain", {0, 3}},
    {"AcbMode", {0, 3}},        {"AcbGainR", {0, 212}},   {"AcbGainG", {0, 212}},
    {"AcbGainB", {0, 212}},     {"CompR", {0, 255}},      {"CompG1", {0, 255}},
    {"CompG2", {0, 255}},       {"CompB", {0, 255}},      {"NoDataValue", {0, 255}},
    {"Microscope", {0, 1}}};

// Values at either end of their range are kept and left alone; one step
// outside, or unreadable, they load as their default, which is written back.
TEST_F(SettingsRecordTest, OutOfRangeOrUnreadableValuesLoadAsDefaultAndAreRepaired)
{
    for (int end = 0; end < 2; ++end) {
        Values limits, outside;
        for (const auto &[name, range] : kRanges) {
            limits[name] = end == 0 ? range.first : range.second;
            if (end == 1 || range.first > 0)
                outside[name] = end == 0 ? range.first - 1 : range.second + 1;
        }
        put(limits);
        PropMan_Load(ext_.get());
        EXPECT_EQ(loaded(s_), limits);
        EXPECT_EQ(dwords(), limits);

        put(outside);
        PropMan_Load(ext_.get());
        for (const auto &[name, value] : loaded(s_))
            EXPECT_EQ(value, outside.count(name) ? kDefaults.at(name) : limits[name])
                << name << " end " << end;
        for (const auto &[name, value] : outside)
            EXPECT_EQ(dwords()[name], kDefaults.at(name)) << name;
    }

    // Unreadable as a number: the wrong type, or -5 as a property set can store it.
    ASSERT_TRUE(store_->write(kDriverKeyPath, "Saturation", RegistryValue::binary({1, 2, 3, 4, 5, 6})));
    ASSERT_TRUE(store_->write(kDriverKeyPath, "Contrast", RegistryValue::string("7000")));
    put({{"Brightness", static_cast<uint32_t>(-5)}});
    PropMan_Load(ext_.get());
    EXPECT_EQ(dwords()["Saturation"], 5000u);
    EXPECT_EQ(dwords()["Contrast"], 5000u);
    EXPECT_EQ(dwords()["Brightness"], 5000u);
}

TEST_F(SettingsRecordTest, SaveWritesEveryWritableSettingAndTheMatrixWhenEnabled)
{
    // Every writable setting away from its default, loaded, then saved into an
    // empty registry: the same values come back, read-only ones never.
    Values saved = {{"Brightness", 7000}, {"Contrast", 100},   {"Saturation", 9999}, {"VidConf", 1},
                    {"ConfValue", 9},     {"CapValue", 2},     {"Framerate", 4},     {"Backlit", 1},
                    {"Flicker", 0},       {"FlickerMains", 0}, {"AutoFR", 0},        {"ExpMode", 3},
                    {"ExpCoarse", 300},   {"ExpFine", 0xFE},   {"ExpGain", 3},       {"AcbMode", 1},
                    {"AcbGainR", 0xC8},   {"AcbGainG", 7},     {"AcbGainB", 0x80},   {"CompR", 1},
                    {"CompG1", 2},        {"CompG2", 3},       {"CompB", 4}};
    put(saved);
    put({{"NoDataValue", 17}, {"Microscope", 1}});
    PropMan_Load(ext_.get());
    s_.saturation = static_cast<ULONG>(-5); // as a property set stores it: saved unchanged
    saved["Saturation"] = 0xFFFFFFFB;
    s_.gpioValue = 5;
    ASSERT_EQ(store_->deleteKey(kDriverKeyPath), zm4::host::KeyDeletion::Deleted);
    PropMan_Save(ext_.get());
    EXPECT_EQ(dwords(), saved);
    EXPECT_FALSE(store_->read(kDriverKeyPath, "Matrix").has_value());

    // The matrix is stored only when enabled; its rows' low three bytes are
    // the coefficients.
    s_.matrixRow1 = 0x00A1B2C3;
    s_.matrixRow2 = 0xFF040506;
    s_.matrixRow3 = 0x00070809;
    put({{"UseRegMatrix", 0}});
    PropMan_Save(ext_.get());
    EXPECT_FALSE(store_->read(kDriverKeyPath, "Matrix").has_value());
    put({{"UseRegMatrix", 1}});
    PropMan_Save(ext_.get());
    EXPECT_EQ(store_->read(kDriverKeyPath, "Matrix"),
              RegistryValue::binary({0xA1, 0xB2, 0xC3, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09}));
}

TEST_F(SettingsRecordTest, ResetClearsOnlyTheSessionFields)
{
    PropMan_Load(ext_.get());
    s_.gpioValue = 0x55;
    s_.serialMode = 3;
    s_.roiTopOffset = 16;
    s_.roiLeftOffset = 24;
    s_.brightness = 4321;
    s_.sensorVersion = 0x12;
    SETTINGS_RECORD before;
    std::memcpy(&before, &s_, sizeof before); // padding included, for the comparison below

    PropMan_ResetSessionProperties(ext_.get());
    before.gpioValue = 0;
    before.serialMode = 0;
    before.roiTopOffset = 0;
    before.roiLeftOffset = 0;
    EXPECT_EQ(std::memcmp(&before, &s_, sizeof s_), 0);
}

} // namespace
