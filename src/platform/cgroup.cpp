#include "platform/cgroup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

constexpr std::size_t path_room = 4096;

// One hierarchy that may limit memory: where the process's group lies in
// it, where it is mounted, and the files that hold its limit and usage.
struct hierarchy {
    char group[path_room] = {}; // the group's path, from proc/self/cgroup
    char root[path_room] = {};  // the hierarchy's folder the mount shows
    char mount[path_room] = {}; // where it is mounted
    const char *limit_file = nullptr;
    const char *usage_file = nullptr;
    const char *cache_key = nullptr; // memory.stat's page cache the kernel would give back
};

} // namespace

static bool join(char *into, const char *first, const char *second)
{
    return static_cast<std::size_t>(std::snprintf(into, path_room, "%s%s", first, second)) <
           path_room;
}

// True when the comma-separated list holds word.
static bool lists(const char *list, const char *word)
{
    std::size_t length = std::strlen(word);
    for (const char *p = list; p != nullptr; p = std::strchr(p, ',')) {
        if (*p == ',')
            ++p;
        if (std::strncmp(p, word, length) == 0 && (p[length] == ',' || p[length] == '\0'))
            return true;
    }
    return false;
}

static void drop_line_end(char *line)
{
    line[std::strcspn(line, "\n")] = '\0';
}

// The groups of proc/self/cgroup's "0::PATH" (v2) and "N:...memory...:PATH"
// (v1) lines.
static void find_groups(const char *root, hierarchy *v2, hierarchy *v1)
{
    char path[path_room];
    std::FILE *file = join(path, root, "/proc/self/cgroup") ? std::fopen(path, "r") : nullptr;
    if (file == nullptr)
        return;
    char line[path_room];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        drop_line_end(line);
        char *controllers = std::strchr(line, ':');
        char *group = controllers == nullptr ? nullptr : std::strchr(controllers + 1, ':');
        if (group == nullptr)
            continue;
        *controllers++ = '\0';
        *group++ = '\0';
        if (std::strcmp(line, "0") == 0 && *controllers == '\0')
            join(v2->group, group, "");
        else if (lists(controllers, "memory"))
            join(v1->group, group, "");
    }
    std::fclose(file);
}

// A mountinfo field, its octal escapes (\040 for a space) decoded.
static void copy_field(char *into, const char *field)
{
    std::size_t n = 0;
    for (const char *p = field; *p != '\0' && n + 1 < path_room; ++p) {
        if (p[0] == '\\' && p[1] >= '0' && p[1] <= '3' && p[2] >= '0' && p[2] <= '7' &&
            p[3] >= '0' && p[3] <= '7') {
            into[n++] = static_cast<char>((p[1] - '0') * 64 + (p[2] - '0') * 8 + (p[3] - '0'));
            p += 3;
        } else {
            into[n++] = *p;
        }
    }
    into[n] = '\0';
}

// One mountinfo line: "ID PARENT MAJ:MIN ROOT MOUNT OPTIONS [OPTIONAL...] -
// TYPE SOURCE SUPER_OPTIONS". Takes the first cgroup2 mount, and the first
// cgroup mount whose options name the memory controller.
static void take_mount(char *line, hierarchy *v2, hierarchy *v1)
{
    char *fields[16] = {};
    std::size_t count = 0;
    for (char *p = line; *p != '\0' && count < 16;) {
        fields[count++] = p;
        p += std::strcspn(p, " ");
        if (*p == ' ')
            *p++ = '\0';
    }
    std::size_t dash = 6;
    while (dash < count && std::strcmp(fields[dash], "-") != 0)
        ++dash;
    if (dash + 3 >= count)
        return;
    const char *type = fields[dash + 1];
    hierarchy *found = nullptr;
    if (std::strcmp(type, "cgroup2") == 0)
        found = v2;
    else if (std::strcmp(type, "cgroup") == 0 && lists(fields[dash + 3], "memory"))
        found = v1;
    if (found == nullptr || found->mount[0] != '\0')
        return;
    copy_field(found->root, fields[3]);
    copy_field(found->mount, fields[4]);
}

static void find_mounts(const char *root, hierarchy *v2, hierarchy *v1)
{
    char path[path_room];
    std::FILE *file = join(path, root, "/proc/self/mountinfo") ? std::fopen(path, "r") : nullptr;
    if (file == nullptr)
        return;
    char line[path_room];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        drop_line_end(line);
        take_mount(line, v2, v1);
    }
    std::fclose(file);
}

// The number a cgroup file holds; false for "max" or no file.
static bool read_number(const char *folder, const char *name, std::uint64_t *number)
{
    char path[path_room];
    std::FILE *file = join(path, folder, name) ? std::fopen(path, "r") : nullptr;
    if (file == nullptr)
        return false;
    char text[32] = {};
    std::size_t got = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    std::uint64_t value = 0;
    std::size_t i = 0;
    for (; i < got && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (__builtin_mul_overflow(value, 10u, &value) ||
            __builtin_add_overflow(value, static_cast<unsigned>(text[i] - '0'), &value))
            return false;
    }
    *number = value;
    return i > 0;
}

// The value of memory.stat's line "KEY VALUE"; 0 when there is none.
static std::uint64_t read_stat(const char *folder, const char *key)
{
    char path[path_room];
    std::FILE *file = join(path, folder, "/memory.stat") ? std::fopen(path, "r") : nullptr;
    if (file == nullptr)
        return 0;
    std::size_t length = std::strlen(key);
    unsigned long long value = 0;
    char line[256];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (std::strncmp(line, key, length) == 0 && line[length] == ' ') {
            value = std::strtoull(line + length + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(file);
    return value;
}

// The group's folder: the mount point, then the group's path below the
// mount's root. A group outside that root (a cgroup namespace shows its own
// root as "/") is taken to be the mount itself.
static bool group_folder(const char *root, const hierarchy &h, char *folder,
                         std::size_t *mount_length)
{
    if (!join(folder, root, h.mount))
        return false;
    *mount_length = std::strlen(folder);
    std::size_t root_length = std::strcmp(h.root, "/") == 0 ? 0 : std::strlen(h.root);
    const char *below = "";
    if (std::strncmp(h.group, h.root, root_length) == 0 &&
        (h.group[root_length] == '/' || h.group[root_length] == '\0'))
        below = h.group + root_length;
    std::size_t length = *mount_length;
    if (!join(folder + length, "", below))
        return false;
    // No trailing slash: the walk up cuts at the last one.
    length = std::strlen(folder);
    while (length > *mount_length && folder[length - 1] == '/')
        folder[--length] = '\0';
    return true;
}

// The least that the group and its ancestors up to the mount leave.
static std::uint64_t hierarchy_left(const char *root, const hierarchy &h)
{
    std::uint64_t least = UINT64_MAX;
    char folder[path_room];
    std::size_t mount_length = 0;
    if (h.group[0] == '\0' || h.mount[0] == '\0' || !group_folder(root, h, folder, &mount_length))
        return least;
    for (;;) {
        std::uint64_t limit = 0;
        std::uint64_t usage = 0;
        if (read_number(folder, h.limit_file, &limit) &&
            read_number(folder, h.usage_file, &usage)) {
            // The usage counts the page cache, which the kernel gives back
            // before it kills; the inactive part of it is as good as free.
            std::uint64_t cache = read_stat(folder, h.cache_key);
            usage = usage > cache ? usage - cache : 0;
            std::uint64_t left = limit > usage ? limit - usage : 0;
            least = left < least ? left : least;
        }
        std::size_t length = std::strlen(folder);
        if (length <= mount_length)
            return least;
        while (length > mount_length && folder[length - 1] != '/')
            --length;
        folder[length > mount_length ? length - 1 : mount_length] = '\0';
    }
}

std::uint64_t cgroup_memory_left(const char *root)
{
    hierarchy v2;
    v2.limit_file = "/memory.max";
    v2.usage_file = "/memory.current";
    v2.cache_key = "inactive_file";
    hierarchy v1;
    v1.limit_file = "/memory.limit_in_bytes";
    v1.usage_file = "/memory.usage_in_bytes";
    v1.cache_key = "total_inactive_file";
    find_groups(root, &v2, &v1);
    if (v2.group[0] == '\0' && v1.group[0] == '\0')
        return UINT64_MAX;
    find_mounts(root, &v2, &v1);
    std::uint64_t left2 = hierarchy_left(root, v2);
    std::uint64_t left1 = hierarchy_left(root, v1);
    return left2 < left1 ? left2 : left1;
}
