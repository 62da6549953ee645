// IMediaReceiver: where a stream parser hands finished frames. The HTTP media channel implements
// it and owns the parser; the parser only borrows its receiver and never destroys it.
//
// Threads: OnFrame is called on the channel's worker thread, the only thread that drives the
// parser.
#pragma once

#include "zarn/host.h"

namespace talvane {

class IMediaReceiver {
public:
    // Offers a filled host frame. True when the host took it; the parser releases the frame to its
    // allocator afterwards either way.
    virtual bool OnFrame(IHostFrame* frame) = 0;

protected:
    ~IMediaReceiver() = default;
};

}  // namespace talvane
