// A reader section: what a path without the lock reaches through the
// engine-area pointers stays alive until the section ends, however the
// engine re-attaches meanwhile (the attach waits for earlier sections
// before it unpins the area it replaced).
#pragma once

#include "platform.h"

namespace kv {

class ReaderSection {
public:
    ReaderSection() : cookie_(plat_reader_enter()) {}
    ~ReaderSection() { plat_reader_exit(cookie_); }
    ReaderSection(const ReaderSection &) = delete;
    ReaderSection &operator=(const ReaderSection &) = delete;

private:
    int cookie_;
};

} // namespace kv
