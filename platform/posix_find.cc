// POSIX stand-in for the runtime's directory search: _findfirst, _findnext
// and _findclose over a list of open searches.
//
// Patterns are read as Win32 reads them (posix_names.h): the file part's
// `*` and `?` take their DOS meanings, and a file part that names the null
// device without a wildcard ("nul", "sub\NUL.txt", whether or not the
// directory exists) finds that device alone, named as the pattern writes
// it: attributes _A_ARCH, size and times 0.
//
// The find data describes a POSIX tree in Win32's terms:
// - "." and ".." come first, both or neither: a directory's own entries
//   are listed when the mask matches "." or an empty name (the root has
//   none). The other names follow in the host's directory order. Win32
//   file systems have orders of their own (sorted on NTFS), so callers
//   must not rely on one.
// - Attributes: _A_SUBDIR for a directory, _A_ARCH for anything else;
//   _A_RDONLY for a file with no write permission bit (a directory's
//   read-only bit means something else to Win32, so it is never set);
//   _A_HIDDEN for a name that starts with a dot, other than "." and "..".
// - Times in seconds since 1970, cut to 32 bits. POSIX keeps no creation
//   time in a file's status, so the last write time stands in for it.
// - The size is the low 32 bits of the file's size, 0 for a directory.
// - Links are followed; a link to nothing is left out.
// Search handles are positive 32-bit values, counted up and not reused until
// the count wraps, so a value of a closed search is refused.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/fault.h"
#include "platform/platform.h"
#include "platform/posix_lock.h"
#include "platform/posix_names.h"

namespace tbx::os {
namespace {

struct Search {
    Search* next;  // the next older open search
    int32_t id;
    DIR* dir;  // null when the search found the null device
    int dots;  // how many of ".", ".." are still to come
    char mask[posix::kMaxName + 1];
};

// The open searches, newest first. Each search is its own link, so
// opening one needs no memory beyond the search itself.
struct Searches {
    Search* newest = nullptr;
    int32_t last_id = 0;

    // Returns the link to the open search `id`, or null.
    Search** link_of(intptr_t id) {
        for (Search** link = &newest; *link; link = &(*link)->next)
            if ((*link)->id == id) return link;
        return nullptr;
    }

    // Files `search` under an id that no open search has; returns the id.
    int32_t add(Search* search) {
        do {
            last_id = last_id == INT32_MAX ? 1 : last_id + 1;
        } while (link_of(last_id));
        search->id = last_id;
        search->next = newest;
        newest = search;
        return last_id;
    }
};

using LockedSearches = posix::Locked<Searches>;

bool is_dot_or_dotdot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Fills `*data` with the entry `name` of the search's directory. Returns
// false when its status cannot be had.
bool describe(const Search& search, const char* name, FindData* data) {
    struct stat st;
    if (fstatat(dirfd(search.dir), name, &st, 0) != 0) return false;
    bool directory = S_ISDIR(st.st_mode);
    data->attrib = directory ? kAttrSubdir : kAttrArchive;
    if (!directory && !(st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH))) data->attrib |= kAttrReadOnly;
    if (name[0] == '.' && !is_dot_or_dotdot(name)) data->attrib |= kAttrHidden;
    data->time_create = static_cast<int32_t>(st.st_mtime);
    data->time_access = static_cast<int32_t>(st.st_atime);
    data->time_write = static_cast<int32_t>(st.st_mtime);
    data->size = directory ? 0 : static_cast<uint32_t>(st.st_size);
    static_assert(NAME_MAX < sizeof data->name, "a directory entry's name fits the record");
    std::memcpy(data->name, name, std::strlen(name) + 1);
    return true;
}

// Fills `*data` with the search's next match. Returns false at the end.
bool next_match(Search* search, FindData* data) {
    while (search->dots > 0)
        if (describe(*search, search->dots-- == 2 ? "." : "..", data)) return true;
    while (const dirent* entry = search->dir ? readdir(search->dir) : nullptr) {
        const char* name = entry->d_name;
        if (is_dot_or_dotdot(name)) continue;
        if (posix::mask_matches(search->mask, name) && describe(*search, name, data)) return true;
    }
    return false;
}

// Starts `search` for `pattern` and fills `*data` with its first match.
// Returns false when there is none.
bool first_match(Search* search, const char* pattern, FindData* data) {
    const char* device = posix::null_device_part(pattern);
    if (device && !std::strpbrk(device, posix::kWildcards)) {
        *data = FindData{kAttrArchive, 0, 0, 0, 0, {}};
        std::memcpy(data->name, device, 3);
        return true;
    }
    char dir[posix::kMaxPath];
    if (!posix::split_search(pattern, dir, search->mask)) return false;
    search->dir = opendir(dir);
    bool own_entries = posix::mask_matches(search->mask, ".") || posix::mask_matches(search->mask, "");
    search->dots = own_entries && std::strcmp(dir, "/") != 0 ? 2 : 0;
    return search->dir && next_match(search, data);
}

void end_search(Search* search) {
    if (search->dir) closedir(search->dir);
    std::free(search);
}

}  // namespace

intptr_t _findfirst(const char* pattern, FindData* data) {
    // An injected failure stands for the allocation's.
    auto* search = fault::hit(fault::kFile) ? nullptr : static_cast<Search*>(std::calloc(1, sizeof(Search)));
    if (!search) return -1;
    // The first match is read under the lock too, so a fork never comes
    // while another thread is inside opendir(): not every allocator leaves
    // its locks free in the child of a fork made during an allocation.
    LockedSearches searches;
    if (!first_match(search, pattern, data)) {
        end_search(search);
        return -1;
    }
    int32_t id = searches->add(search);
    fault::count_handles(1);
    return id;
}

int _findnext(intptr_t id, FindData* data) {
    if (fault::hit(fault::kFile)) return -1;
    LockedSearches searches;
    Search** link = searches->link_of(id);
    return link && next_match(*link, data) ? 0 : -1;
}

int _findclose(intptr_t id) {
    if (fault::hit(fault::kFile)) return -1;
    LockedSearches searches;
    Search** link = searches->link_of(id);
    if (!link) return -1;
    Search* search = *link;
    *link = search->next;
    end_search(search);
    fault::count_handles(-1);
    return 0;
}

}  // namespace tbx::os
