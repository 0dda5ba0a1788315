// The image's boundary: where its code lies, and the thunks its imports of
// routines go through.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "sim/image/exports.h"

namespace sim::image {

// The range [base, base + size) holds the image `name`'s code and data.
void AddImageSpan(const void *base, size_t size, const std::string &name);
void RemoveImageSpan(const void *base);

// One thunk per import of a routine: it calls the sim's export with the
// arguments the image pushed and checks that the export returned with the
// stack pointer its convention says, then returns to the image as that
// convention does.
class ImportThunks {
public:
    ImportThunks() = default;
    ~ImportThunks();
    ImportThunks(const ImportThunks &) = delete;
    ImportThunks &operator=(const ImportThunks &) = delete;

    // The thunks for `exports`, in order; false when they cannot be built.
    bool Build(const std::vector<const Export *> &exports);
    const void *Entry(size_t index) const;

private:
    unsigned char *code_ = nullptr;
    size_t size_ = 0;
    std::vector<size_t> offsets_;
};

}  // namespace sim::image
