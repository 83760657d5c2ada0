#include "tools/desktop/tray_record.h"

#include <cstring>

namespace {

// Wine 8.0's record (dlls/shell32/systray.c, struct notify_data), packed as the compiler lays it
// out there: all 32-bit fields and UTF-16 arrays, so no padding anywhere. Offsets in bytes.
constexpr size_t OFF_OWNER = 0;
constexpr size_t OFF_ID = 4;
constexpr size_t OFF_FLAGS = 8;
constexpr size_t OFF_CALLBACK = 12;
constexpr size_t OFF_TIP = 16;  // WCHAR[128]
constexpr size_t OFF_STATE = 272;
constexpr size_t OFF_STATE_MASK = 276;
// 280: szInfo WCHAR[256], 792: uTimeout/uVersion, 796: szInfoTitle WCHAR[64], 924: dwInfoFlags,
// 928: guidItem; then the icon bitmap's description.
constexpr size_t OFF_WIDTH = 944;
constexpr size_t OFF_HEIGHT = 948;
constexpr size_t OFF_PLANES = 952;
constexpr size_t OFF_BPP = 956;
constexpr size_t RECORD_SIZE = 960;  // the mask bits follow, then the colour bits

constexpr uint32_t NIF_ICON_FLAG = 0x2;
constexpr uint32_t MAX_SIDE = 256;

// A pixel counts as the play mark's green when it is nearly pure green.
constexpr unsigned GREEN_MIN = 200;
constexpr unsigned OTHER_MAX = 80;

uint32_t read_u32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Bytes of a bitmap of `pixels` pixels as Wine sizes the copy it sends: rounded up to 16 bits.
size_t bitmap_bytes(uint64_t planes, uint64_t width, uint64_t height, uint64_t bpp)
{
    return size_t((planes * width * height * bpp + 15) / 16 * 2);
}

bool strongly_green(unsigned r, unsigned g, unsigned b)
{
    return g >= GREEN_MIN && r <= OTHER_MAX && b <= OTHER_MAX;
}

}  // namespace

bool parse_tray_record(const void* data, size_t size, TrayRecord* out)
{
    if (data == nullptr || size < RECORD_SIZE) {
        return false;
    }
    const uint8_t* p = static_cast<const uint8_t*>(data);
    std::memset(out, 0, sizeof *out);
    out->owner = int32_t(read_u32(p + OFF_OWNER));
    out->id = read_u32(p + OFF_ID);
    out->flags = read_u32(p + OFF_FLAGS);
    out->callback_message = read_u32(p + OFF_CALLBACK);
    for (size_t i = 0; i < TIP_CHARS; i++) {
        out->tip[i] = uint16_t(p[OFF_TIP + 2 * i] | p[OFF_TIP + 2 * i + 1] << 8);
    }
    out->tip[TIP_CHARS - 1] = 0;
    out->state = read_u32(p + OFF_STATE);
    out->state_mask = read_u32(p + OFF_STATE_MASK);
    out->picture = Picture::none;

    uint32_t width = read_u32(p + OFF_WIDTH);
    uint32_t height = read_u32(p + OFF_HEIGHT);
    uint32_t planes = read_u32(p + OFF_PLANES);
    uint32_t bpp = read_u32(p + OFF_BPP);
    if (!(out->flags & NIF_ICON_FLAG) || width == 0 || height == 0) {
        return true;  // no picture in this call (or Wine could not read the icon's bitmaps)
    }
    if (width > MAX_SIDE || height > MAX_SIDE || planes != 1 || bpp == 0 || bpp > 32) {
        return false;
    }
    // A monochrome icon comes as one double-height mask with no colour bits; a colour icon as a
    // mask of its own size followed by the colour bitmap.
    size_t extra = size - RECORD_SIZE;
    size_t mask = bitmap_bytes(1, width, height, 1);
    size_t colour = bitmap_bytes(planes, width, height, bpp);
    out->has_icon = true;
    out->width = width;
    out->height = height;
    out->bits_per_pixel = bpp;
    if (bpp == 1 && extra == bitmap_bytes(1, width, 2 * height, 1)) {
        out->picture = Picture::idle;  // black and white: no green possible
        return true;
    }
    if (extra < mask + colour) {
        return false;
    }
    out->picture = classify_picture(p + RECORD_SIZE + mask, colour, width, height, bpp);
    return true;
}

Picture classify_picture(const uint8_t* bits, size_t size, uint32_t width, uint32_t height, uint32_t bits_per_pixel)
{
    if (bits_per_pixel != 16 && bits_per_pixel != 24 && bits_per_pixel != 32) {
        return Picture::unknown;
    }
    size_t stride = (size_t(width) * bits_per_pixel + 15) / 16 * 2;
    if (size < stride * height) {
        return Picture::unknown;
    }
    size_t pixel_bytes = bits_per_pixel / 8;
    for (uint32_t y = 0; y < height; y++) {
        const uint8_t* row = bits + stride * y;
        for (uint32_t x = 0; x < width; x++) {
            const uint8_t* px = row + pixel_bytes * x;
            unsigned r;
            unsigned g;
            unsigned b;
            if (bits_per_pixel == 16) {
                // 5-6-5, the layout Wine's 16-bit device bitmaps use.
                unsigned v = unsigned(px[0]) | unsigned(px[1]) << 8;
                r = ((v >> 11) & 0x1f) * 255 / 31;
                g = ((v >> 5) & 0x3f) * 255 / 63;
                b = (v & 0x1f) * 255 / 31;
            } else {
                b = px[0];
                g = px[1];
                r = px[2];
            }
            if (strongly_green(r, g, b)) {
                return Picture::playing;
            }
        }
    }
    return Picture::idle;
}

const char* picture_name(Picture picture)
{
    switch (picture) {
    case Picture::none:
        return "none";
    case Picture::idle:
        return "idle";
    case Picture::playing:
        return "playing";
    case Picture::unknown:
        return "unknown";
    }
    return "unknown";
}
