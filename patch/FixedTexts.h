// The English texts 190 to 239 compiled into the program. The window labels and the package
// messages use these and never look them up, so they read the same in every language.
#pragma once

#include <string>

// The text of id, or an empty text for an id outside 190..239 (and for 233).
const std::wstring &FixedEnglishText(unsigned id);

inline const std::wstring &kTextApplyUpdate = FixedEnglishText(190); // L"Apply Update"
inline const std::wstring &kTextCancel = FixedEnglishText(191); // L"Cancel"
inline const std::wstring &kTextExit = FixedEnglishText(192); // L"Exit"
inline const std::wstring &kTextReallyCancel = FixedEnglishText(193); // L"Do you really want to cancel?"
inline const std::wstring &kTextCancelling = FixedEnglishText(194); // L"Cancelling patch process..."
inline const std::wstring &kTextCannotOpenPatchFile = FixedEnglishText(196); // L"Unable to open the patch file for writing: "
inline const std::wstring &kTextUnableToDownload = FixedEnglishText(197); // L"Unable to download patch file: "
inline const std::wstring &kTextNoPatchServer = FixedEnglishText(198); // L"Unable to connect to any patch servers."
inline const std::wstring &kTextCannotCreateDirectory = FixedEnglishText(201); // L"Could not create the directory: "
inline const std::wstring &kTextEllipsis = FixedEnglishText(211); // L"..."
inline const std::wstring &kTextFailedAdding = FixedEnglishText(217); // L"Failed adding: "
inline const std::wstring &kTextCannotDelete = FixedEnglishText(219); // L"Could not delete: "
inline const std::wstring &kTextAlreadyRemoved = FixedEnglishText(220); // L"File seems to have been removed already: "
inline const std::wstring &kTextCannotCopy = FixedEnglishText(221); // L"Could not copy the file: "
inline const std::wstring &kTextChecksumFailed = FixedEnglishText(222); // L"Failed to compute the checksum for existing file: "
inline const std::wstring &kTextAlreadyPatched = FixedEnglishText(223); // L"Existing file appears to have been patched already: "
inline const std::wstring &kTextDamagedFile = FixedEnglishText(224); // L"Existing file is damaged and cannot be patched: "
inline const std::wstring &kTextFailedPatchCommand = FixedEnglishText(226); // L"Failed patch command: "
inline const std::wstring &kTextPatchToolArguments = FixedEnglishText(227); // L"Not enough Argument Specified to patch the file"
inline const std::wstring &kTextPatchToolDataFile = FixedEnglishText(228); // L"Could not open data file %s for reading."
inline const std::wstring &kTextPatchToolPatchFile = FixedEnglishText(229); // L"Could not open patch file %s for reading."
inline const std::wstring &kTextPatchToolOutputFile = FixedEnglishText(230); // L"Could not open output file for writing."
inline const std::wstring &kTextCouldNotOpen = FixedEnglishText(232); // L"Could not open: "
inline const std::wstring &kTextNotPresent = FixedEnglishText(234); // L" for reading. The file might not be present"
