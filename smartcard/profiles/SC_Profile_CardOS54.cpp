#include "smartcard/profiles/SC_Profile_CardOS54.h"

const char* CSC_Profile_CardOS54::ProfileName() const { return "CSC_Profile_CardOS54"; }
