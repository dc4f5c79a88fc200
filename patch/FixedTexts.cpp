#include "patch/FixedTexts.h"

#include <array>

namespace
{
constexpr unsigned kFirstFixedText = 190;
constexpr unsigned kLastFixedText = 239;

const std::array<std::wstring, kLastFixedText - kFirstFixedText + 1> &FixedTexts()
{
    static const std::array<std::wstring, kLastFixedText - kFirstFixedText + 1> texts = {
        L"Apply Update", // 190
        L"Cancel", // 191
        L"Exit", // 192
        L"Do you really want to cancel?", // 193
        L"Cancelling patch process...", // 194
        L"Browse to the new version path", // 195
        L"Unable to open the patch file for writing: ", // 196
        L"Unable to download patch file: ", // 197
        L"Unable to connect to any patch servers.", // 198
        L"... Success", // 199
        L"... Failed", // 200
        L"Could not create the directory: ", // 201
        L"Diff command: ", // 202
        L"Could not create the process", // 203
        L"Bzip2 command: ", // 204
        L"Archive command: ", // 205
        L"The file: ", // 206
        L" could not be opened for writing", // 207
        L"Identical: ", // 208
        L" checksum:", // 209
        L"Patching: ", // 210
        L"...", // 211
        L"To be added: ", // 212
        L"To be deleted: ", // 213
        L"Could not write the file: ", // 214
        L" properly", // 215
        L"Adding: ", // 216
        L"Failed adding: ", // 217
        L"Removing: ", // 218
        L"Could not delete: ", // 219
        L"File seems to have been removed already: ", // 220
        L"Could not copy the file: ", // 221
        L"Failed to compute the checksum for existing file: ", // 222
        L"Existing file appears to have been patched already: ", // 223
        L"Existing file is damaged and cannot be patched: ", // 224
        L"Failed creating the process", // 225
        L"Failed patch command: ", // 226
        L"Not enough Argument Specified to patch the file", // 227
        L"Could not open data file %s for reading.", // 228
        L"Could not open patch file %s for reading.", // 229
        L"Could not open output file for writing.", // 230
        L"NumOk: %d NumFailed: %d", // 231
        L"Could not open: ", // 232
        L"", // 233
        L" for reading. The file might not be present", // 234
        L"Could not download the file: ", // 235
        L"Could not read the checksum file: ", // 236
        L"Need to replace missing file: ", // 237
        L"Need to replace modified file: ", // 238
        L"Aborting.", // 239
    };
    return texts;
}
} // namespace

const std::wstring &FixedEnglishText(unsigned id)
{
    static const std::wstring empty;
    if (id < kFirstFixedText || id > kLastFixedText)
        return empty;
    return FixedTexts()[id - kFirstFixedText];
}
