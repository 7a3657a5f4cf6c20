// The settings record: loading with ranges and defaults, saving, and the
// per-stream reset, observed through the registry contents.

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "driver/device_extension.h"
#include "platform/kernel/registry_store.h"
#include "settings/settings_record.h"

using zm4::host::kDriverKeyPath;
using zm4::host::RegistryScope;
using zm4::host::RegistryStore;
using zm4::host::RegistryValue;

namespace {

class SettingsRecordTest : public ::testing::Test {
protected:
    std::unique_ptr<RegistryStore> store_ = RegistryStore::inMemory();
    RegistryScope scope_{*store_};
    // The port library hands the driver a zero-filled extension.
    std::unique_ptr<DEVICE_EXTENSION> ext_ = std::make_unique<DEVICE_EXTENSION>();
    SETTINGS_RECORD &s_ = ext_->settings;

    void put(const char *name, uint32_t value)
    {
        ASSERT_TRUE(store_->write(kDriverKeyPath, name, RegistryValue::dword(value)));
    }
    std::optional<uint32_t> dword(const char *name) const
    {
        auto value = store_->read(kDriverKeyPath, name);
        if (!value)
            return std::nullopt;
        return value->asDword();
    }
    std::map<std::string, uint32_t> dwords() const
    {
        std::map<std::string, uint32_t> out;
        for (const auto &[name, value] : store_->values(kDriverKeyPath).value_or(std::vector<zm4::host::NamedValue>{}))
            if (auto d = value.asDword())
                out[name] = *d;
        return out;
    }
};

TEST_F(SettingsRecordTest, EmptyRegistryLoadsDefaults)
{
    std::memset(&s_, 0x5A, sizeof s_);
    PropMan_Load(ext_.get());

    // Without the key the first read (brightness) fails and its default is
    // written back, which creates the key; every later value is then merely
    // missing, which reads as its default and is not written.
    EXPECT_EQ(dwords(), (std::map<std::string, uint32_t>{{"Brightness", 5000}}));
    EXPECT_EQ(s_.brightness, 5000u);
    EXPECT_EQ(s_.contrast, 5000u);
    EXPECT_EQ(s_.saturation, 5000u);
    EXPECT_EQ(s_.compressionMode, 0u);
    EXPECT_EQ(s_.confValue, 5u);
    EXPECT_EQ(s_.capValue, 5u);
    EXPECT_EQ(s_.frameRate, 1u);
    EXPECT_EQ(s_.backlight, 0u);
    EXPECT_EQ(s_.flicker, 1u);
    EXPECT_EQ(s_.mains, 1u);
    EXPECT_EQ(s_.autoFrameRate, 1u);
    EXPECT_EQ(s_.exposureMode, 2u);
    EXPECT_EQ(s_.expCoarse, 185);
    EXPECT_EQ(s_.expFine, 1);
    EXPECT_EQ(s_.expGain, 0);
    EXPECT_EQ(s_.acbMode, 2u);
    EXPECT_EQ(s_.acbRed, 30);
    EXPECT_EQ(s_.acbGreen, 3);
    EXPECT_EQ(s_.acbBlue, 50);
    EXPECT_EQ(s_.baseCompR, 220u);
    EXPECT_EQ(s_.baseCompG1, 214u);
    EXPECT_EQ(s_.baseCompG2, 214u);
    EXPECT_EQ(s_.baseCompB, 230u);
    EXPECT_EQ(s_.noDataValue, 255u);
    EXPECT_EQ(s_.microscope, 0u);
    // Caches and rows start empty, the gain ceiling at 2.
    EXPECT_EQ(s_.firmwareVersion, 0u);
    EXPECT_EQ(s_.sensorVersion, 0u);
    EXPECT_EQ(s_.matrixRow1, 0u);
    EXPECT_EQ(s_.matrixRow2, 0u);
    EXPECT_EQ(s_.matrixRow3, 0u);
    EXPECT_EQ(s_.gainCeiling, 2u);
    // Per-stream fields are not the load's business.
    EXPECT_EQ(s_.gpioValue, 0x5A5A5A5Au);
    EXPECT_EQ(s_.roiTopOffset, 0x5A5A5A5Au);
}

TEST_F(SettingsRecordTest, OutOfRangeValuesLoadAsDefaultAndAreRepaired)
{
    put("AcbGainR", 300);
    put("ExpCoarse", 303);
    put("ExpGain", 4);
    put("Framerate", 0);
    put("ConfValue", 11);
    PropMan_Load(ext_.get());
    EXPECT_EQ(s_.acbRed, 30);
    EXPECT_EQ(s_.expCoarse, 185);
    EXPECT_EQ(s_.expGain, 0);
    EXPECT_EQ(s_.frameRate, 1u);
    EXPECT_EQ(s_.confValue, 5u);
    EXPECT_EQ(dword("AcbGainR"), 30u);
    EXPECT_EQ(dword("ExpCoarse"), 185u);
    EXPECT_EQ(dword("ExpGain"), 0u);
    EXPECT_EQ(dword("Framerate"), 1u);
    EXPECT_EQ(dword("ConfValue"), 5u);
}

TEST_F(SettingsRecordTest, ValuesAtTheRangeLimitsAreKept)
{
    put("ExpCoarse", 302);
    put("ExpFine", 255);
    put("AcbGainB", 212);
    put("AcbGainG", 0);
    put("Brightness", 10000);
    put("Framerate", 5);
    put("CompB", 255);
    put("NoDataValue", 0);
    PropMan_Load(ext_.get());
    EXPECT_EQ(s_.expCoarse, 302);
    EXPECT_EQ(s_.expFine, 255);
    EXPECT_EQ(s_.acbBlue, 212);
    EXPECT_EQ(s_.acbGreen, 0);
    EXPECT_EQ(s_.brightness, 10000u);
    EXPECT_EQ(s_.frameRate, 5u);
    EXPECT_EQ(s_.baseCompB, 255u);
    EXPECT_EQ(s_.noDataValue, 0u);
    EXPECT_EQ(dword("ExpCoarse"), 302u);
}

TEST_F(SettingsRecordTest, NegativeStoredValueIsOutOfRange)
{
    // A property set can store -5; compared unsigned it is far above 10,000.
    put("Brightness", static_cast<uint32_t>(-5));
    PropMan_Load(ext_.get());
    EXPECT_EQ(s_.brightness, 5000u);
    EXPECT_EQ(dword("Brightness"), 5000u);
}

TEST_F(SettingsRecordTest, MissingValueLoadsDefaultAmongStoredOnes)
{
    put("Flicker", 0);
    put("Backlit", 1);
    ASSERT_TRUE(store_->deleteValue(kDriverKeyPath, "Flicker"));
    PropMan_Load(ext_.get());
    EXPECT_EQ(s_.flicker, 1u);
    EXPECT_EQ(s_.backlight, 1u);
    // A missing value is not an error: nothing is written back.
    EXPECT_FALSE(dword("Flicker").has_value());
}

TEST_F(SettingsRecordTest, UnreadableValueLoadsDefault)
{
    ASSERT_TRUE(store_->write(kDriverKeyPath, "Saturation", RegistryValue::binary({1, 2, 3, 4, 5, 6})));
    PropMan_Load(ext_.get());
    EXPECT_EQ(s_.saturation, 5000u);
    EXPECT_EQ(dword("Saturation"), 5000u);
}

TEST_F(SettingsRecordTest, NoRegistryStillYieldsDefaults)
{
    zm4::host::setCurrentRegistry(nullptr);
    std::memset(&s_, 0xFF, sizeof s_);
    PropMan_Load(ext_.get());
    zm4::host::setCurrentRegistry(store_.get());
    EXPECT_EQ(s_.brightness, 5000u);
    EXPECT_EQ(s_.expCoarse, 185);
    EXPECT_EQ(s_.acbBlue, 50);
    EXPECT_EQ(s_.noDataValue, 255u);
}

TEST_F(SettingsRecordTest, SaveWritesEveryWritableSetting)
{
    s_.brightness = 7000;
    s_.contrast = 100;
    s_.saturation = static_cast<ULONG>(-5);
    s_.compressionMode = 1;
    s_.confValue = 9;
    s_.capValue = 2;
    s_.frameRate = 4;
    s_.backlight = 1;
    s_.flicker = 0;
    s_.mains = 0;
    s_.autoFrameRate = 0;
    s_.exposureMode = 3;
    s_.expCoarse = 0xFFFF;
    s_.expFine = 0xFE;
    s_.expGain = 3;
    s_.acbMode = 1;
    s_.acbRed = 0xC8;
    s_.acbGreen = 7;
    s_.acbBlue = 0x80;
    s_.baseCompR = 1;
    s_.baseCompG1 = 2;
    s_.baseCompG2 = 3;
    s_.baseCompB = 4;
    // Read-only and per-stream fields are never saved.
    s_.noDataValue = 17;
    s_.microscope = 1;
    s_.gpioValue = 5;
    PropMan_Save(ext_.get());

    const std::map<std::string, uint32_t> expected = {
        {"Brightness", 7000},  {"Contrast", 100},    {"Saturation", 0xFFFFFFFB}, {"VidConf", 1},    {"ConfValue", 9},
        {"CapValue", 2},       {"Framerate", 4},     {"Backlit", 1},             {"Flicker", 0},    {"FlickerMains", 0},
        {"AutoFR", 0},         {"ExpMode", 3},       {"ExpCoarse", 0xFFFF},      {"ExpFine", 0xFE}, {"ExpGain", 3},
        {"AcbMode", 1},        {"AcbGainR", 0xC8},   {"AcbGainG", 7},            {"AcbGainB", 0x80}, {"CompR", 1},
        {"CompG1", 2},         {"CompG2", 3},        {"CompB", 4},
    };
    EXPECT_EQ(dwords(), expected);
    EXPECT_FALSE(store_->read(kDriverKeyPath, "Matrix").has_value());
}

TEST_F(SettingsRecordTest, SaveThenLoadRestoresTheSettings)
{
    PropMan_Load(ext_.get());
    s_.brightness = 1234;
    s_.expCoarse = 300;
    s_.acbGreen = 200;
    s_.frameRate = 3;
    s_.matrixRow1 = 0x010203;
    PropMan_Save(ext_.get());

    auto other = std::make_unique<DEVICE_EXTENSION>();
    PropMan_Load(other.get());
    EXPECT_EQ(other->settings.brightness, 1234u);
    EXPECT_EQ(other->settings.expCoarse, 300);
    EXPECT_EQ(other->settings.acbGreen, 200);
    EXPECT_EQ(other->settings.frameRate, 3u);
    EXPECT_EQ(other->settings.matrixRow1, 0u);
}

TEST_F(SettingsRecordTest, SaveStoresTheMatrixOnlyWhenEnabled)
{
    s_.matrixRow1 = 0x00A1B2C3;
    s_.matrixRow2 = 0xFF040506; // only the low three bytes are coefficients
    s_.matrixRow3 = 0x00070809;

    put("UseRegMatrix", 0);
    PropMan_Save(ext_.get());
    EXPECT_FALSE(store_->read(kDriverKeyPath, "Matrix").has_value());

    put("UseRegMatrix", 1);
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
    EXPECT_EQ(s_.gpioValue, 0u);
    EXPECT_EQ(s_.serialMode, 0);
    EXPECT_EQ(s_.roiTopOffset, 0u);
    EXPECT_EQ(s_.roiLeftOffset, 0u);
    before.gpioValue = 0;
    before.serialMode = 0;
    before.roiTopOffset = 0;
    before.roiLeftOffset = 0;
    EXPECT_EQ(std::memcmp(&before, &s_, sizeof s_), 0);
}

} // namespace
