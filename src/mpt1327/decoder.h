// Decoder contexts: several control channels decoded side by side (--all).
//
// The decoder keeps its state in process-wide variables, as it always has;
// those variables are the state of the decoder that is running now.  Every
// module lists the variables that belong to one decoder once, next to their
// definitions, with decoder_var(x).  decoder_switch(k) then swaps the live
// values of all of them with those saved for decoder k, so that a variable
// listed cannot be shared by two control channels, and one not listed (a
// table built once, the list of report sinks, a "said once" set) is shared
// by all of them on purpose.
//
// Decoder 0 is the one the program has always had: the console and the log
// show it, it tunes the receiver and the hunter moves it.  The others are
// opened on further control channels; each starts from the state decoder 0
// had before its first sample (decoder_fresh), so each decodes its control
// channel as decoder 0 would decode it alone.  Switching happens at IQ
// block boundaries only, never per sample.
#pragma once

#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

struct decoder_var_ops_t {
    void* var;
    size_t size;                           // bytes, for a trivially copyable variable
    void* (*make)(const void* from);       // a new copy of a value
    void (*assign)(void* to, const void* from);
    void (*swap)(void* a, void* b);
    void (*free)(void* p);
};
void decoder_var_register(const decoder_var_ops_t& ops);

template <class T>
struct decoder_var_registration {
    explicit decoder_var_registration(T& v)
    {
        decoder_var_ops_t ops;
        ops.var = (void*)&v;
        ops.size = sizeof(T);
        if constexpr (std::is_trivially_copyable<T>::value) {
            ops.make = nullptr;  // bytes (arrays included)
            ops.assign = nullptr;
            ops.swap = nullptr;
            ops.free = nullptr;
        } else {
            ops.make = [](const void* from) -> void* { return new T(*(const T*)from); };
            ops.assign = [](void* to, const void* from) { *(T*)to = *(const T*)from; };
            ops.swap = [](void* a, void* b) { std::swap(*(T*)a, *(T*)b); };
            ops.free = [](void* p) { delete (T*)p; };
        }
        decoder_var_register(ops);
    }
};

// One decoder's variable: write it after the variable's definition, in the
// same file (and namespace).
#define decoder_var(x) static decoder_var_registration<decltype(x)> decoder_var_##x(x)

// The state the variables hold now becomes the start of every decoder
// opened later (called once the settings are read, before the first sample).
void decoder_fresh();
// A new decoder from that state: its number (1, 2, ...).
int decoder_open();
// Forget decoder k (never 0, never the one running); its number may be
// given again by decoder_open.
void decoder_close(int k);
// Make decoder k's state the live one.
void decoder_switch(int k);
// The decoder running now (0 unless --all opened others).
int decoder_current();
// How many variables are listed (for the tests).
size_t decoder_var_count();
