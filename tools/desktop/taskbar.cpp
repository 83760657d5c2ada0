#include "tools/desktop/taskbar.h"

#include <shellapi.h>

#include <cstring>

#include "tools/desktop/desktop.h"

Event events[MAX_EVENTS];
int event_count = 0;

namespace {

Icon icons[MAX_ICONS];
int newest_icon = -1;
int adds_refused_ahead = 0;
unsigned next_seq = 1;

constexpr IconImage NO_IMAGE = {Picture::none, 0, 0};

IconImage image_of(const TrayRecord& record)
{
    return record.has_icon ? IconImage{record.picture, record.width, record.height} : NO_IMAGE;
}

int find_icon(HWND owner, unsigned id)
{
    for (int i = 0; i < MAX_ICONS; i++) {
        if (icons[i].used && icons[i].owner == owner && icons[i].id == id) {
            return i;
        }
    }
    return -1;
}

void log_event(const char* kind, HWND owner, unsigned id, unsigned flags, IconImage image, const char* tip)
{
    if (event_count == MAX_EVENTS) {
        // The oldest event gives way; the gap shows in the sequence numbers.
        std::memmove(events, events + 1, sizeof events[0] * (MAX_EVENTS - 1));
        event_count--;
    }
    Event& event = events[event_count++];
    event.seq = next_seq++;
    event.kind = kind;
    event.owner = owner;
    event.id = id;
    event.flags = flags;
    event.image = image;
    lstrcpynA(event.tip, tip, sizeof event.tip);
}

void apply_record_fields(Icon& icon, const TrayRecord& record)
{
    if (record.flags & NIF_MESSAGE) {
        icon.message = record.callback_message;
    }
    if (record.flags & NIF_ICON) {
        icon.image = image_of(record);
    }
    if (record.flags & NIF_TIP) {
        utf16_to_utf8(reinterpret_cast<const wchar_t*>(record.tip), icon.tip, sizeof icon.tip);
    }
}

struct CallKind {
    DWORD code;
    const char* done;
    const char* failed;
};

constexpr CallKind CALL_KINDS[] = {
    {NIM_ADD, "add", "add-failed"},
    {NIM_MODIFY, "modify", "modify-failed"},
    {NIM_DELETE, "delete", "delete-failed"},
    {NIM_SETFOCUS, "setfocus", "setfocus-failed"},
    {NIM_SETVERSION, "setversion", "setversion-failed"},
};

int free_icon_slot()
{
    for (int i = 0; i < MAX_ICONS; i++) {
        if (!icons[i].used) {
            return i;
        }
    }
    return -1;
}

}  // namespace

int icon_count()
{
    int count = 0;
    for (const Icon& icon : icons) {
        count += icon.used ? 1 : 0;
    }
    return count;
}

LRESULT on_notify_icon(DWORD_PTR code, const COPYDATASTRUCT* data)
{
    TrayRecord record;
    if (!parse_tray_record(data->lpData, data->cbData, &record)) {
        log_event("unreadable", nullptr, 0, 0, NO_IMAGE, "");
        return FALSE;
    }
    HWND owner = reinterpret_cast<HWND>(static_cast<intptr_t>(record.owner));
    if (code == NIM_ADD && adds_refused_ahead > 0) {
        adds_refused_ahead--;
        log_event("add-refused", owner, record.id, record.flags, image_of(record), "");
        return FALSE;
    }
    int index = find_icon(owner, record.id);
    bool done = false;
    if (code == NIM_ADD) {
        if (index < 0) {
            index = free_icon_slot();
            if (index >= 0) {
                Icon& icon = icons[index];
                std::memset(&icon, 0, sizeof icon);
                icon.used = true;
                icon.owner = owner;
                icon.id = record.id;
                apply_record_fields(icon, record);
                newest_icon = index;
                done = true;
            }
        }
    } else if (code == NIM_MODIFY) {
        if (index >= 0) {
            apply_record_fields(icons[index], record);
            done = true;
        }
    } else {
        done = index >= 0;
    }
    const char* kind = done ? "other" : "other-failed";
    for (const CallKind& known : CALL_KINDS) {
        if (known.code == code) {
            kind = done ? known.done : known.failed;
        }
    }
    if (index >= 0) {
        log_event(kind, owner, record.id, record.flags, icons[index].image, icons[index].tip);
    } else {
        log_event(kind, owner, record.id, record.flags, image_of(record), "");
    }
    if (done && code == NIM_DELETE) {
        icons[index].used = false;
    }
    return done ? TRUE : FALSE;
}

void refuse_adds(int count)
{
    adds_refused_ahead = count;
}

const Icon* current_icon()
{
    if (newest_icon >= 0 && icons[newest_icon].used) {
        return &icons[newest_icon];
    }
    for (const Icon& icon : icons) {
        if (icon.used) {
            return &icon;
        }
    }
    return nullptr;
}

void forget_icons()
{
    for (Icon& icon : icons) {
        icon.used = false;
    }
    newest_icon = -1;
    log_event("reset", nullptr, 0, 0, NO_IMAGE, "");
}
