#include "tools/vcd/disc_ini.h"

#include <cstring>

namespace {

constexpr size_t MAX_LINE = 1024;
constexpr int MAX_FAIL_PLAYS = 1000000;

char lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equals_nocase(const char* a, const char* b)
{
    while (*a != '\0' && lower(*a) == lower(*b)) {
        ++a;
        ++b;
    }
    return *a == '\0' && *b == '\0';
}

// Removes blanks and a trailing CR from both ends, in place.
char* trim(char* s)
{
    while (*s == ' ' || *s == '\t') {
        ++s;
    }
    size_t n = std::strlen(s);
    while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\r')) {
        s[--n] = '\0';
    }
    return s;
}

// A whole non-negative decimal number up to limit; false for anything else.
bool read_count(const char* s, int limit, int* out)
{
    if (*s == '\0') {
        return false;
    }
    long long v = 0;
    for (; *s != '\0'; ++s) {
        if (*s < '0' || *s > '9') {
            return false;
        }
        v = v * 10 + (*s - '0');
        if (v > limit) {
            return false;
        }
    }
    *out = static_cast<int>(v);
    return true;
}

bool read_flag(const char* s, bool* out)
{
    if (std::strcmp(s, "1") == 0) {
        *out = true;
        return true;
    }
    if (std::strcmp(s, "0") == 0) {
        *out = false;
        return true;
    }
    return false;
}

void apply_key(const char* key, const char* value, DiscSettings* settings)
{
    int number = 0;
    if (equals_nocase(key, "tracks")) {
        Disc disc{};
        settings->tracks_valid = parse_track_lengths(value, &disc);
        if (settings->tracks_valid) {
            settings->disc = disc;
        }
    } else if (equals_nocase(key, "disc")) {
        read_flag(value, &settings->disc_present);
    } else if (equals_nocase(key, "drive")) {
        read_flag(value, &settings->drive_present);
    } else if (equals_nocase(key, "speed")) {
        if (read_count(value, static_cast<int>(MAX_SPEED), &number) && number > 0) {
            settings->speed = static_cast<uint32_t>(number);
        }
    } else if (equals_nocase(key, "fail_plays")) {
        if (read_count(value, MAX_FAIL_PLAYS, &number)) {
            settings->fail_plays = number;
        }
    } else if (equals_nocase(key, "fail_all_plays")) {
        read_flag(value, &settings->fail_all_plays);
    } else if (equals_nocase(key, "door")) {
        if (equals_nocase(value, "open")) {
            settings->door_open = true;
        } else if (equals_nocase(value, "closed")) {
            settings->door_open = false;
        }
    } else if (equals_nocase(key, "stop_after_pause")) {
        read_flag(value, &settings->stop_after_pause);
    } else if (equals_nocase(key, "notify_end")) {
        read_flag(value, &settings->notify_end);
    } else if (equals_nocase(key, "short_last_track")) {
        read_flag(value, &settings->short_last_track);
    } else if (equals_nocase(key, "load_ms")) {
        if (read_count(value, static_cast<int>(MAX_DELAY_MS), &number)) {
            settings->load_ms = static_cast<uint32_t>(number);
        }
    } else if (equals_nocase(key, "load_kind")) {
        if (equals_nocase(value, "not_ready")) {
            settings->load_kind = LoadKind::not_ready;
        } else if (equals_nocase(value, "open")) {
            settings->load_kind = LoadKind::open;
        } else if (equals_nocase(value, "refuse")) {
            settings->load_kind = LoadKind::refuse;
        }
    } else if (equals_nocase(key, "start_ms")) {
        if (read_count(value, static_cast<int>(MAX_DELAY_MS), &number)) {
            settings->start_ms = static_cast<uint32_t>(number);
        }
    }
}

}  // namespace

void default_settings(DiscSettings* settings)
{
    *settings = DiscSettings{};
    settings->tracks_valid = true;
    make_demo_disc(&settings->disc);
    settings->disc_present = true;
    settings->drive_present = true;
    settings->speed = DEFAULT_SPEED;
    settings->stop_after_pause = true;
}

void parse_disc_ini(const char* text, size_t size, DiscSettings* settings)
{
    bool in_disc = false;
    size_t at = 0;
    while (at < size) {
        char line[MAX_LINE];
        size_t n = 0;
        while (at < size && text[at] != '\n') {
            if (n + 1 < MAX_LINE) {
                line[n++] = text[at];
            }
            ++at;
        }
        ++at;
        line[n] = '\0';
        char* s = trim(line);
        if (*s == '\0' || *s == ';' || *s == '#') {
            continue;
        }
        if (*s == '[') {
            char* close = std::strchr(s, ']');
            if (close != nullptr) {
                *close = '\0';
            }
            in_disc = equals_nocase(trim(s + 1), "disc");
            settings->has_section = settings->has_section || in_disc;
            continue;
        }
        char* equals = std::strchr(s, '=');
        if (!in_disc || equals == nullptr) {
            continue;
        }
        *equals = '\0';
        apply_key(trim(s), trim(equals + 1), settings);
    }
}
