#pragma once
// What the emulated camera's sensor looks at. A scene renders a 4:2:2 image
// of the sensor's size for a given sensor frame number, at nominal light; the
// camera applies lamps, exposure and colour processing to lit scenes only.
// Test patterns (bars, flat, image files) bypass that processing, as a
// sensor's pattern generator does, so their pixel values arrive exactly.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zm4::emu {

// A 4:2:2 image stored as pixel pairs Y0 U Y1 V, two bytes per pixel.
struct Image422 {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> data;

    Image422() = default;
    Image422(int w, int h);
    void resize(int w, int h);
    int stride() const { return width * 2; }
    uint8_t *row(int y) { return data.data() + static_cast<size_t>(y) * static_cast<size_t>(stride()); }
    const uint8_t *row(int y) const
    {
        return data.data() + static_cast<size_t>(y) * static_cast<size_t>(stride());
    }
};

// Mean luma and chroma of a scene's nominal image.
struct SceneStats {
    double y = 128.0;
    double u = 128.0;
    double v = 128.0;
};

class Scene {
public:
    virtual ~Scene() = default;

    virtual std::string name() const = 0;
    // True when the picture comes through the optics, so lamps and exposure apply.
    virtual bool lit() const = 0;
    // Fills out (already sized to the sensor) with frame n at nominal light.
    virtual void render(int64_t frame, Image422 &out) const = 0;
    virtual SceneStats stats(int64_t frame) const = 0;
};

// The eight colour bars, left to right: white, yellow, cyan, green, magenta, red, blue, black.
struct BarColour {
    uint8_t y, u, v;
};
inline constexpr BarColour kBarColours[8] = {
    {235, 128, 128}, {210, 16, 146}, {170, 166, 16}, {145, 54, 34},
    {106, 202, 222}, {81, 90, 240},  {41, 240, 110}, {16, 128, 128},
};

std::unique_ptr<Scene> makeBarsScene();
std::unique_ptr<Scene> makeFlatScene(uint8_t y, uint8_t u, uint8_t v);
std::unique_ptr<Scene> makeSpecimenScene(uint32_t seed = 1);
// A binary PPM (P6) image, scaled to the sensor; nullptr and a message on failure.
std::unique_ptr<Scene> makeImageScene(const std::string &path, std::string *error);
std::unique_ptr<Scene> makeImageSceneFromBytes(const std::vector<uint8_t> &ppm, std::string *error);

// The text form used by the tool: "bars", "flat:Y,U,V", "specimen",
// "specimen:SEED", "file:PATH" or a path ending in ".ppm".
std::unique_ptr<Scene> makeScene(std::string_view spec, std::string *error);

} // namespace zm4::emu
