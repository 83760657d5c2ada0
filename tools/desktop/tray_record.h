#pragma once
// Reading the record that Wine's shell32 hands the taskbar for every notification-icon call.
// Shell_NotifyIcon under Wine sends WM_COPYDATA to the first top-level "Shell_TrayWnd" window:
// dwData is the NIM_ code, lpData is Wine's own flat record (not a Windows contract), followed by
// the icon's mask and colour bits. Everything that knows that layout is in tray_record.cpp.

#include <cstddef>
#include <cstdint>

enum class Picture { none, idle, playing, unknown };

constexpr size_t TIP_CHARS = 128;  // UTF-16 units in the record's tip, terminator included

struct TrayRecord {
    int32_t owner;  // the owner window's handle value, as Wine truncates it
    uint32_t id;
    uint32_t flags;  // NIF_*
    uint32_t callback_message;
    uint16_t tip[TIP_CHARS];  // UTF-16, always terminated here
    uint32_t state;
    uint32_t state_mask;
    bool has_icon;  // the record carries a picture (NIF_ICON with readable bitmaps)
    uint32_t width;
    uint32_t height;
    uint32_t bits_per_pixel;
    Picture picture;  // none unless has_icon
};

// Fills `out` from one WM_COPYDATA payload. False when the payload is too short for the record or
// its bitmap sizes do not fit the bytes that came.
bool parse_tray_record(const void* data, size_t size, TrayRecord* out);

// The picture's class from a device-dependent bitmap's bits as GetBitmapBits gives them (rows
// padded to 16 bits): `playing` when any pixel is strongly green, `idle` otherwise, `unknown` for
// palette depths whose colours cannot be told from the bits.
Picture classify_picture(const uint8_t* bits, size_t size, uint32_t width, uint32_t height, uint32_t bits_per_pixel);

const char* picture_name(Picture picture);
