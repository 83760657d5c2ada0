#pragma once
// Where a dialog opens: at the mouse cursor, inside the work area of the monitor under it.
// Platform-free, so the arithmetic is unit-tested natively; ui/dialog.cpp feeds it the system's
// rectangles.

struct Area {
    long left;
    long top;
    long right;
    long bottom;
};

struct Position {
    long x;
    long y;
};

// The top-left corner for a dialog of this size opened at the cursor. It opens with its top-left
// corner at the cursor; where it would reach or cross the work area's right (bottom) edge, with
// its right (bottom) edge at the cursor instead. What then still lies outside the work area (the
// cursor over a taskbar at the left or top, or a dialog wider than the room beside the cursor) is
// moved in, the left and top edges last, so that a dialog larger than the work area shows its
// caption.
Position place_at_cursor(Area work_area, long width, long height, long cursor_x, long cursor_y);
