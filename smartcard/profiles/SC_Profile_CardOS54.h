// CardOS 5.4: as CardOS 5.0.
#pragma once

#include "smartcard/profiles/SC_Profile_CardOS50.h"

class CSC_Profile_CardOS54 : public CSC_Profile_CardOS50 {
protected:
    const char* ProfileName() const override;
};
