#include "smartcard/detect/ProfileFactory.h"

#include "smartcard/base/CardNumbers.h"
#include "smartcard/profiles/SC_Profile_CardOS43b.h"
#include "smartcard/profiles/SC_Profile_CardOS44.h"
#include "smartcard/profiles/SC_Profile_CardOS50.h"
#include "smartcard/profiles/SC_Profile_CardOS54.h"
#include "smartcard/profiles/SC_Profile_CardOS60.h"
#include "smartcard/profiles/SC_Profile_Micardo21.h"
#include "smartcard/profiles/SC_Profile_SecCos5.h"
#include "smartcard/profiles/SC_Profile_SetCos441.h"
#include "smartcard/profiles/SC_Profile_SetCos442.h"
#include "smartcard/profiles/SC_Profile_StarCos30.h"
#include "smartcard/profiles/SC_Profile_StarCos32.h"
#include "smartcard/profiles/SC_Profile_StarCos34.h"
#include "smartcard/profiles/SC_Profile_StarCos35.h"
#include "smartcard/profiles/SC_Profile_StarCos37.h"
#include "smartcard/profiles/SC_Profile_TCOS20.h"
#include "smartcard/profiles/SC_Profile_TCOS30.h"
#include "smartcard/profiles/SC_Profile_TCOS30V2.h"

namespace kivo::card {

namespace {

template <class Profile>
std::unique_ptr<CSC_Profile_Base> make() {
    return std::make_unique<Profile>();
}

struct ProfileMaker {
    std::int32_t type;
    std::unique_ptr<CSC_Profile_Base> (*make)();
};

constexpr ProfileMaker kMakers[] = {
    {type::cTcos20, make<CSC_Profile_TCOS20>},
    {type::cTcos30, make<CSC_Profile_TCOS30>},
    {type::cMicardo21, make<CSC_Profile_Micardo21>},
    {type::cCardOs43b, make<CSC_Profile_CardOS43b>},
    {type::cStarCos30, make<CSC_Profile_StarCos30>},
    {type::cSecCos, make<CSC_Profile_SecCos5>},
    {type::cSetCos, make<CSC_Profile_SetCos441>},
    {type::cStarCos32, make<CSC_Profile_StarCos32>},
    {type::cSetCos442, make<CSC_Profile_SetCos442>},
    {type::cCardOs44, make<CSC_Profile_CardOS44>},
    {type::cStarCos34, make<CSC_Profile_StarCos34>},
    {type::cTcos30v2, make<CSC_Profile_TCOS30V2>},
    {type::cStarCos35, make<CSC_Profile_StarCos35>},
    {type::cCardOs50, make<CSC_Profile_CardOS50>},
    {type::cCardOs54, make<CSC_Profile_CardOS54>},
    {type::cStarCos37Dgn, make<CSC_Profile_StarCos37>},
    {type::cCardOs60, make<CSC_Profile_CardOS60>},
    {type::cStarCos37DTrust, make<CSC_Profile_StarCos37>},
};

}  // namespace

std::unique_ptr<CSC_Profile_Base> createProfile(std::int32_t cardType) {
    for (const ProfileMaker& maker : kMakers) {
        if (maker.type == cardType) return maker.make();
    }
    return nullptr;
}

}  // namespace kivo::card
