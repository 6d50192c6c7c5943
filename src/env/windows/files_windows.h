// What the atomic rewrite of a file gives its temporary file, for the tests.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tolvenar {

// The security descriptor a file replacing `target` is created with: the
// target's access list (its protection against inheritance included), as a
// self-relative descriptor. Empty when `target` does not exist; false when
// it exists and its descriptor cannot be read.
bool ReplacementDescriptor(const std::wstring& target, std::vector<BYTE>* descriptor);

// Called with the temporary file's path right after it was created, before
// any byte is written to it; nullptr for none.
using TempFileCreatedHook = void (*)(const std::wstring& temp);
void SetTempFileCreatedHookForTesting(TempFileCreatedHook hook);

}  // namespace tolvenar
