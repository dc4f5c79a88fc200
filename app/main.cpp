#include "app/PelmoPatcherApp.h"

wxIMPLEMENT_APP(ZelkPatch::PelmoPatcherApp);
