// libcurl as the transfers use it, loaded the first time a transfer needs it: the library and the
// thirty libraries behind it cost every start of the program about ten milliseconds, and only the
// transfers of a download use them.
#pragma once

#include <curl/curl.h>

struct CurlLibrary
{
    decltype(&curl_global_init) globalInit;
    decltype(&curl_easy_init) easyInit;
    decltype(&curl_easy_setopt) easySetopt;
    decltype(&curl_easy_getinfo) easyGetinfo;
    decltype(&curl_easy_perform) easyPerform;
    decltype(&curl_easy_reset) easyReset;
    decltype(&curl_easy_cleanup) easyCleanup;
    decltype(&curl_slist_append) slistAppend;
    decltype(&curl_slist_free_all) slistFreeAll;
};

// Loads libcurl, once; null when it cannot be loaded (the reason is in the log). Any thread.
const CurlLibrary *LoadCurlLibrary();
// The library LoadCurlLibrary loaded; only once it did.
const CurlLibrary &Curl();

