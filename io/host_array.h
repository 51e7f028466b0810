#pragma once
// Owner of a block from malloc, calloc or realloc: freed with its owner; moved,
// never copied.
#include <cstdlib>
#include <memory>

struct HostFree {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using HostArray = std::unique_ptr<T[], HostFree>;
