// Decoder contexts (see decoder.h).
#include "decoder.h"

#include <algorithm>
#include <vector>

namespace {

struct entry_t {
    decoder_var_ops_t ops;
    void* fresh = nullptr;       // the state new decoders start from
    std::vector<void*> saved;    // per decoder: its value while another runs
};

// Registered from static constructors of every module: made on first use.
std::vector<entry_t>& entries()
{
    static std::vector<entry_t>* e = new std::vector<entry_t>;
    return *e;
}

std::vector<char> in_use = {1};  // decoder 0 always
int current = 0;

void* make_copy(const entry_t& e, const void* from)
{
    if (e.ops.make)
        return e.ops.make(from);
    void* p = ::operator new(e.ops.size);
    std::memcpy(p, from, e.ops.size);
    return p;
}

void assign(const entry_t& e, void* to, const void* from)
{
    if (e.ops.assign)
        e.ops.assign(to, from);
    else
        std::memcpy(to, from, e.ops.size);
}

void swap_values(const entry_t& e, void* a, void* b)
{
    if (e.ops.swap) {
        e.ops.swap(a, b);
        return;
    }
    unsigned char* x = (unsigned char*)a;
    std::swap_ranges(x, x + e.ops.size, (unsigned char*)b);
}

}  // namespace

void decoder_var_register(const decoder_var_ops_t& ops)
{
    entry_t e;
    e.ops = ops;
    entries().push_back(e);
}

size_t decoder_var_count()
{
    return entries().size();
}

void decoder_fresh()
{
    for (entry_t& e : entries()) {
        if (!e.fresh)
            e.fresh = make_copy(e, e.ops.var);
        else
            assign(e, e.fresh, e.ops.var);
        if (e.saved.empty())
            e.saved.push_back(make_copy(e, e.ops.var));  // decoder 0's place
    }
}

int decoder_open()
{
    size_t k = 1;
    while (k < in_use.size() && in_use[k])
        k++;
    if (k == in_use.size())
        in_use.push_back(0);
    in_use[k] = 1;
    for (entry_t& e : entries()) {
        if (!e.fresh)
            e.fresh = make_copy(e, e.ops.var);  // decoder_fresh was not called
        if (e.saved.empty())
            e.saved.push_back(make_copy(e, e.ops.var));
        while (e.saved.size() <= k)
            e.saved.push_back(make_copy(e, e.fresh));
        assign(e, e.saved[k], e.fresh);
    }
    return (int)k;
}

void decoder_close(int k)
{
    if (k <= 0 || (size_t)k >= in_use.size() || k == current)
        return;
    in_use[(size_t)k] = 0;
}

void decoder_switch(int k)
{
    if (k == current)
        return;
    for (entry_t& e : entries()) {
        // The live value goes to its owner's place, k's comes out of its own.
        swap_values(e, e.ops.var, e.saved[(size_t)current]);
        swap_values(e, e.ops.var, e.saved[(size_t)k]);
    }
    current = k;
}

int decoder_current()
{
    return current;
}
