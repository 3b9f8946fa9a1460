// In-memory files for the fuzz targets, by name. The callbacks carry no context: one set of files
// per process, which each run starts afresh.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "cabinet/fdi.h"

// A broken promise of the API is a crash the fuzzer reports (a failure where a test includes a
// target).
#ifndef FUZZ_CHECK
#define FUZZ_CHECK(cond, what) ((cond) ? (void)0 : (fprintf(stderr, "fuzzer: %s\n", what), abort()))
#endif

namespace fuzz {

struct MemFiles {
    std::map<std::string, std::string> files;
    std::map<INT_PTR, std::pair<std::string, size_t>> handles;  // name, position
    INT_PTR next = 1;
    std::string only;              // when set, every file opened for reading is this one
    size_t read_limit = SIZE_MAX;  // bytes one read returns at most
    bool keep_writes = true;       // false: writes only count
    // Calls of each kind so far; the failing_...-th one fails (1-based; 0: none).
    int reads = 0, failing_read = 0, writes = 0, failing_write = 0, allocs = 0, failing_alloc = 0;
    long live = 0;                    // allocations not yet freed
    std::vector<std::string> opened;  // every name opened for reading, in order
};
inline MemFiles g_files;

inline INT_PTR OpenName(const std::string &name, bool create) {
    const std::string &n = create || g_files.only.empty() ? name : g_files.only;
    if (!create)
        g_files.opened.push_back(name);
    if (create)
        g_files.files[n].clear();
    else if (!g_files.files.count(n))
        return -1;
    g_files.handles[g_files.next] = {n, 0};
    return g_files.next++;
}

inline FNREAD(Read) {
    auto it = g_files.handles.find(hf);
    if (it == g_files.handles.end() || ++g_files.reads == g_files.failing_read)
        return UINT(-1);
    auto &[name, pos] = it->second;
    const std::string &data = g_files.files[name];
    size_t n =
        std::min({size_t(cb), pos < data.size() ? data.size() - pos : 0, g_files.read_limit});
    memcpy(pv, data.data() + pos, n);
    pos += n;
    return UINT(n);
}

inline FNWRITE(Write) {
    auto it = g_files.handles.find(hf);
    if (it == g_files.handles.end() || ++g_files.writes == g_files.failing_write)
        return UINT(-1);
    auto &[name, pos] = it->second;
    if (g_files.keep_writes) {
        std::string &data = g_files.files[name];
        data.resize(std::max(data.size(), pos + cb));
        memcpy(&data[pos], pv, cb);
    }
    pos += cb;
    return cb;
}

inline FNSEEK(Seek) {
    auto it = g_files.handles.find(hf);
    if (it == g_files.handles.end())
        return -1;
    auto &[name, pos] = it->second;
    long base = seektype == SEEK_SET   ? 0
                : seektype == SEEK_CUR ? long(pos)
                                       : long(g_files.files[name].size());
    if (base + dist < 0)
        return -1;
    pos = size_t(base + dist);
    return long(pos);
}

inline FNCLOSE(Close) {
    FUZZ_CHECK(g_files.handles.erase(hf) == 1, "a handle closed that is not open");
    return 0;
}

inline FNALLOC(Alloc) {
    if (++g_files.allocs == g_files.failing_alloc)
        return nullptr;
    ++g_files.live;
    return malloc(cb);
}
inline FNFREE(Free) {
    g_files.live -= pv != nullptr;
    free(pv);
}
inline FNOPEN(Open) {
    (void)oflag, (void)pmode;
    return OpenName(pszFile, false);
}

}  // namespace fuzz
