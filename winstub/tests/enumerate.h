// Helpers shared by the stand-in's tests.
#ifndef WINSTUB_TESTS_ENUMERATE_H
#define WINSTUB_TESTS_ENUMERATE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "winstub/windows.h"

// The whole volume enumeration of the active machine; checks that it ends
// as Windows ends it and that the search closes.
inline std::vector<std::u16string> EnumerateVolumes() {
    std::vector<std::u16string> names;
    WCHAR buffer[MAX_PATH + 1];
    HANDLE search = FindFirstVolumeW(buffer, MAX_PATH + 1);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        names.push_back(buffer);
    } while (FindNextVolumeW(search, buffer, MAX_PATH + 1));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(FindVolumeClose(search));
    return names;
}

#endif  // WINSTUB_TESTS_ENUMERATE_H
