#include "ui/placement.h"

namespace {

// One axis: start at the cursor, turn back from the far edge, then keep inside.
long place_on_axis(long cursor, long size, long low, long high)
{
    long at = cursor;
    if (at + size >= high) {
        at -= size;
    }
    if (at + size > high) {
        at = high - size;
    }
    if (at < low) {
        at = low;
    }
    return at;
}

}  // namespace

Position place_at_cursor(Area work_area, long width, long height, long cursor_x, long cursor_y)
{
    return {place_on_axis(cursor_x, width, work_area.left, work_area.right),
        place_on_axis(cursor_y, height, work_area.top, work_area.bottom)};
}
