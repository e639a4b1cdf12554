#include "system_messages.h"

namespace winstub {

namespace {

struct Message {
    DWORD code;
    const char16_t *text;
};

// Windows' own wording.
constexpr Message kMessages[] = {
    {0, u"The operation completed successfully.\r\n"},
    {1, u"Incorrect function.\r\n"},
    {2, u"The system cannot find the file specified.\r\n"},
    {3, u"The system cannot find the path specified.\r\n"},
    {4, u"The system cannot open the file.\r\n"},
    {5, u"Access is denied.\r\n"},
    {6, u"The handle is invalid.\r\n"},
    {8, u"Not enough memory resources are available to process this command.\r\n"},
    {15, u"The system cannot find the drive specified.\r\n"},
    {18, u"There are no more files.\r\n"},
    {21, u"The device is not ready.\r\n"},
    {24, u"The program issued a command but the command length is incorrect.\r\n"},
    {32, u"The process cannot access the file because it is being used by another process.\r\n"},
    {87, u"The parameter is incorrect.\r\n"},
    {121, u"The semaphore timeout period has expired.\r\n"},
    {122, u"The data area passed to a system call is too small.\r\n"},
    {123, u"The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {144, u"The directory is not a subdirectory of the root directory.\r\n"},
    {206, u"The filename or extension is too long.\r\n"},
    {234, u"More data is available.\r\n"},
    {317, u"The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {1117, u"The request could not be performed because of an I/O device error.\r\n"},
    {1359, u"An internal error occurred.\r\n"},
};

}  // namespace

const char16_t *SystemMessage(DWORD code) {
    for (const Message &message : kMessages) {
        if (message.code == code) {
            return message.text;
        }
    }
    return nullptr;
}

}  // namespace winstub
