// The property manager: every property id through its handler against a
// running emulated camera, what each set sends, what each get answers, and
// settings that outlive a stop only through the registry.

#include "settings/propman.h"

#include "tests/camera/camera_test_env.h"

namespace {

using Commands = std::vector<std::string>;

class PropManTest : public CameraTestBase {
protected:
    void SetUp() override
    {
        setValue("Flicker", 0);
        setValue("AutoFR", 0);
        CameraTestBase::SetUp();
        PropMan_Initialise(dev());
    }

    void TearDown() override
    {
        CameraTestBase::TearDown();
        PropMan_Terminate(dev());
    }

    NTSTATUS call(bool vpa, ULONG id, bool set, KSPROPERTY_VIDEOPROCAMP_S *p)
    {
        p->Property.Set = vpa ? PROPSETID_VIDCAP_VIDEOPROCAMP : PROPSETID_LUMPROP;
        p->Property.Id = id;
        const PROPMAN_HANDLERS &h = vpa ? PropMan_VideoProcAmpHandlers[id] : PropMan_LumPropHandlers[id];
        PROPMAN_HANDLER handler = set ? h.set : h.get;
        const NTSTATUS status = handler ? handler(p, dev()) : STATUS_NOT_IMPLEMENTED;
        EXPECT_TRUE(lockFree()) << "property " << id;
        return status;
    }
};

constexpr ULONG kUntouched = 0xDEAD;
constexpr LONG kAny = 0x7FFFFFFF;

// A set (Value, Flags) and the commands it sends, then a get and its answer.
struct Row {
    bool vpa;
    ULONG id;
    LONG setValue;
    ULONG setFlags;
    Commands sent; // request codes (or whole commands), housekeeping left out
    LONG value;    // kAny: not checked
    ULONG flags;   // kUntouched: the get leaves Flags and Capabilities alone
    ULONG caps;
};

TEST_F(PropManTest, EveryPropertyThroughItsHandlers)
{
    Camera_Start(dev(), 352, 288);
    ULONG first = 0;
    Camera_Update(dev(), &first); // the start's uncompressed frame
    const Row rows[] = {
        {true, 0, 12000, 2, {"A3"}, 10000, 2, 2},
        {true, 1, 1000, 2, {"A3", "BF"}, 1000, 2, 2}, // low contrast: VP register 20
        {true, 3, -5, 2, {"A3", "BF"}, -5, 2, 2},
        {false, 3, 5, 4, {}, 5, 4, 4},    // compression applies at the next update
        {false, 4, 8, 0, {}, 8, 0, 4},    // clear on bit: conference mode
        {false, 4, 8, 4, {}, 8, 4, 4},    // on bit: capture mode
        {false, 6, 0, 0x0C, {}, 0, 0, 4}, // only exactly 4 turns backlight on
        {false, 11, 1, 4, {"24", "24"}, 1, 4, 4},
        {false, 12, 40, 0x0C, {}, 40, 4, 12},
        {false, 13, 20, 0x02, {}, 0, 4, 12},     // stored, not applied: the window keeps top 0
        {false, 16, 400, 0x02, {}, kAny, 4, 14}, // stored (302), nothing sent
        {false, 16, 250, 0x0A, {"A4"}, 250, 4, 14},
        {false, 18, 1, 0x00, {"A4"}, kAny, 0, 14},
        {false, 17, 9, 0x04, {"A4"}, kAny, 4, 14},
        {false, 19, 100, 0x0A, {"A6"}, 100, 4, 14},
        {false, 21, 0, 0x00, {"A6"}, kAny, 0, 14},
        {false, 21, 0, 0x04, {"A6 0002 0000"}, kAny, 4, 14}, // automatic again, with zero gains
        {false, 22, 0x00050000, 2, {"22", "24"}, kAny, 2, 2},
        {false, 23, 0, 0x20, {"2A"}, kAny, 0, 0},
        {false, 23, 0x41, 0x80, {"2C"}, kAny, 0, 0},
        {false, 23, 1, 0x100, {}, kAny, 0x100, 0},
        {false, 23, 0, 0x40, {"2B"}, kAny, 0x100, 0},
        {false, 24, 250, 0, {"A4", "A4"}, 250, kUntouched, kUntouched},
        {false, 28, 0x601020, 0, {}, 0x601020, kUntouched, kUntouched},
        {false, 29, 0x102030, 0, {}, 0x102030, kUntouched, kUntouched},
        {false, 30, 0x405060, 0, {"B3"}, 0x405060, kUntouched, kUntouched},
        {false, 31, 4, 0, {}, 4, 16, 16}, // a ceiling above 3 is refused by the camera control
        {false, 31, 2, 0, {"A4"}, 2, 16, 16},
        {false, 7, 0, 4, {"B2", "A9", "AA", "A4"}, 0, 4, 4},
        {false, 5, 9, 2, {}, 5, 2, 3}, // index limited to 5; the change runs later
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(::testing::Message() << (r.vpa ? "vpa " : "lum ") << r.id << " flags " << r.setFlags);
        KSPROPERTY_VIDEOPROCAMP_S p = {};
        p.Value = r.setValue;
        p.Flags = r.setFlags;
        size_t from = mark();
        EXPECT_EQ(call(r.vpa, r.id, true, &p), STATUS_SUCCESS);
        EXPECT_EQ(r.sent.empty() || r.sent[0].size() == 2 ? codesSince(from) : commandsSince(from), r.sent);
        if (!r.vpa && (r.id == PROPMAN_LUM_COMPRESSION_CONF || r.id == PROPMAN_LUM_COMPRESSION_CAP)) {
            ULONG full = 0; // the new compression costs the next frame its compression
            Camera_Update(dev(), &full);
            EXPECT_EQ(full, 1u);
        }

        KSPROPERTY_VIDEOPROCAMP_S g = {};
        g.Flags = g.Capabilities = kUntouched;
        EXPECT_EQ(call(r.vpa, r.id, false, &g), STATUS_SUCCESS);
        if (r.value != kAny) {
            EXPECT_EQ(g.Value, r.value);
        }
        EXPECT_EQ(g.Flags, r.flags);
        EXPECT_EQ(g.Capabilities, r.caps);
    }
    EXPECT_EQ(camera().serialSent(), (std::vector<uint8_t>{0x41}));
    EXPECT_EQ(camera().port(2), 0xE5);
}

TEST_F(PropManTest, ReadOnlyPropertiesAnswerAndRefuseSetsAndGetsSurviveAFailingCamera)
{
    Camera_Start(dev(), 352, 288);
    struct {
        ULONG id;
        LONG value;
        ULONG flags, caps;
    } rows[] = {
        {8, 613, 16, 16}, {9, 0x120, 16, 16}, {10, 3, 16, 16},
        {14, 0, 16, 20},  {15, 0, 16, 20},    {32, 0, 16, 20},
    };
    for (const auto &r : rows) {
        KSPROPERTY_VIDEOPROCAMP_S p = {};
        EXPECT_EQ(call(false, r.id, false, &p), STATUS_SUCCESS) << r.id;
        EXPECT_EQ(p.Value, r.value) << r.id;
        EXPECT_EQ(p.Flags, r.flags) << r.id;
        EXPECT_EQ(p.Capabilities, r.caps) << r.id;
        EXPECT_EQ(call(false, r.id, true, &p), STATUS_NOT_IMPLEMENTED) << r.id;
    }
    // The bandwidth probe selects the configured setting and gives it back.
    setValue("Bandwidth", 2);
    KSPROPERTY_VIDEOPROCAMP_S bw = {};
    EXPECT_EQ(call(false, 10, false, &bw), STATUS_SUCCESS);
    EXPECT_EQ(bw.Value, 2);
    EXPECT_EQ(camera().alternate(), 0);
    setValue("Bandwidth", 4); // out of range: the default, written back
    EXPECT_EQ(call(false, 10, false, &bw), STATUS_SUCCESS);
    EXPECT_EQ(std::pair(bw.Value, value("Bandwidth")), std::pair(LONG{3}, std::optional<uint32_t>{3}));
    KSPROPERTY_VIDEOPROCAMP_S p = {};
    for (ULONG id : {0u, 1u, 2u})
        EXPECT_EQ(call(false, id, false, &p), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(call(true, 2, false, &p), STATUS_NOT_IMPLEMENTED);

    // Gets report the stored value when the camera fails.
    const std::pair<ULONG, LONG> stored[] = {{22, 0x00050000}, {16, 123}, {19, 45}};
    for (const auto &[id, value] : stored) {
        p = {};
        p.Value = value;
        p.Flags = 2;
        call(false, id, true, &p);
    }
    camera().faults().ctrlFail.on = true;
    for (const auto &[id, value] : stored) {
        p = {};
        EXPECT_EQ(call(false, id, false, &p), STATUS_SUCCESS);
        EXPECT_EQ(p.Value, value) << id;
    }
}

TEST_F(PropManTest, ValueSetWhileStoppedLastsUntilTheNextStart)
{
    setValue("Brightness", 6000);
    KSPROPERTY_VIDEOPROCAMP_S p = {};
    p.Value = 7000;
    size_t from = mark();
    call(true, 0, true, &p);
    EXPECT_TRUE(commandsSince(from).empty());
    call(true, 0, false, &p);
    EXPECT_EQ(p.Value, 7000);

    Camera_Start(dev(), 352, 288);
    EXPECT_EQ(dev()->settings.brightness, 6000u);
    EXPECT_EQ(dev()->camera.brightnessTarget, 60u);
}

} // namespace
