// An owned FILE*: closed when the owner goes away.  Where a failed close
// matters (buffered writes fail late), release() it and fclose() by hand.
#pragma once

#include <cstdio>
#include <memory>

struct file_closer {
    void operator()(FILE* fp) const { std::fclose(fp); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;
