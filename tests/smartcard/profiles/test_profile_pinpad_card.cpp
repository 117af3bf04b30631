// PIN entry on an emulated pin-pad reader in front of the virtual card
// (through pcscd, vpcd and vcard when the card services run, else vcard's
// model in this process): the pad builds the command from the structure the
// profile sends and the PINs typed, and the card judges it.

#include "smartcard/profiles/SC_Profile_CardOS43b.h"
#include "smartcard/profiles/SC_Profile_SecCos5.h"
#include "smartcard/profiles/SC_Profile_SetCos442.h"
#include "smartcard/profiles/SC_Profile_StarCos32.h"
#include "tests/support/card/CardUnderTest.h"
#include "tests/support/card/EmulatedPinPad.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>

namespace kivo::test {
namespace {

namespace sc = kivo::card;

using Connect = std::function<std::unique_ptr<CSC_Profile_Base>(CardUnderTest&)>;

// A card family, how its profile is reached, and what its pin-pad entries
// end with.
struct Family {
    const char* card;
    Connect connect;
    const char* pinPath;  // where ChangeRef selects the PIN
    std::uint8_t reference;
    std::string pin;
    std::string newPin;
    CardResult wrongPin;
    CardResult cancelled;
    CardResult timedOut;
    CardResult pinsDiffer;
    const char* changeCommand;  // CHANGE REFERENCE DATA of pin -> newPin
};

const Family kStarCos = {
    "starcos",
    [](CardUnderTest& card) -> std::unique_ptr<CSC_Profile_Base> {
        return card.connected<CSC_Profile_StarCos32>();
    },
    "",
    0x81,
    "123456",
    "24681357",
    sc::cFailed,
    sc::cFailed,
    sc::cFailed,
    sc::cFailed,
    "0024008110" "26123456FFFFFFFF" "2824681357FFFFFF"};

const Family kCardOS = {
    "cardos",
    [](CardUnderTest& card) -> std::unique_ptr<CSC_Profile_Base> {
        return card.connected<CSC_Profile_CardOS43b>(4);
    },
    "3f00/5015/4401",
    0x81,
    "12345678",
    "24681357",
    sc::cAuthFailed,
    sc::cPinPadAborted,
    // A reader ends a timed-out entry with 6400, which the CardOS mapping
    // does not list (it names 6401 to 6403): the profile's catch-all.
    sc::cFailed,
    sc::cPinPadAborted,
    "0024008110" "3132333435363738" "3234363831333537"};

// Format-2 blocks as StarCos, with SecCos 5's own verify and change.
const Family kSecCos = {
    "seccos5",
    [](CardUnderTest& card) -> std::unique_ptr<CSC_Profile_Base> {
        return card.connected<CSC_Profile_SecCos5>();
    },
    "",
    0x81,
    "123456",
    "24681357",
    sc::cFailed,
    sc::cFailed,
    sc::cFailed,
    sc::cFailed,
    "0024008110" "26123456FFFFFFFF" "2824681357FFFFFF"};

// ASCII PINs in zero-padded 8-byte fields, which the pad fills into the
// templates SetCos 4.4.2 appends to its structures.
const Family kSetCos = {
    "setcos442",
    [](CardUnderTest& card) -> std::unique_ptr<CSC_Profile_Base> {
        return card.connected<CSC_Profile_SetCos442>();
    },
    "",
    0x01,
    "123456",
    "24681357",
    sc::cFailed,
    sc::cFailed,
    sc::cFailed,
    sc::cFailed,
    "0024000110" "3132333435360000" "3234363831333537"};

// The two ways a reader takes a PIN: one request, or start, key events and
// finish.
const PinPadFeatures kDirect = {true, false, false, false, false, false};
const PinPadFeatures kStartFinish = {false, true, false, true, true, false};

struct Case {
    const Family* family;
    PinPadFeatures features;
    const char* name;
};

void PrintTo(const Case& value, std::ostream* out) { *out << value.name; }

class PinPadOnCard : public ProfileOnCard, public ::testing::WithParamInterface<Case> {
protected:
    PinPadOnCard() : ProfileOnCard(GetParam().family->card) {}

    const Family& family() const { return *GetParam().family; }
    // The profile connected through the pad, its pin-pad features read.
    std::unique_ptr<CSC_Profile_Base> connectThroughPad() {
        pad = std::make_unique<EmulatedPinPad>(GetParam().features, "SCM Microsystems Inc. SPRx32");
        auto profile = family().connect(card);
        EXPECT_TRUE(profile->CheckPinPad());
        card.mark();
        return profile;
    }
    CardResult verifyOnPad(CSC_Profile_Base& profile) {
        return profile.Verify("", "", false, family().reference, true, "");
    }
    // The status word of a bare VERIFY: the card's tries left.
    std::uint16_t triesStatus() {
        char command[11];
        std::snprintf(command, sizeof command, "002000%02X00", family().reference);
        return VcardSession::sw(card.transmit(command));
    }

    std::unique_ptr<EmulatedPinPad> pad;
};

// The PIN typed on the pad reaches the card as exactly the command the
// keyboard path sends; a wrong one is counted by the card.
TEST_P(PinPadOnCard, TypedPinIsTheKeyboardsCommand) {
    auto profile = connectThroughPad();
    ASSERT_EQ(profile->Verify("", "", false, family().reference, false, family().pin), sc::cOk);
    const std::vector<std::string> keyboard = card.commands();
    card.mark();
    pad->type({family().pin});
    EXPECT_EQ(verifyOnPad(*profile), sc::cOk);
    EXPECT_EQ(card.commands(), keyboard);

    card.mark();
    pad->type({"97531864"});
    EXPECT_EQ(verifyOnPad(*profile), family().wrongPin);
    EXPECT_EQ(card.commands().size(), 1u) << "the wrong PIN reached the card";
    EXPECT_EQ(triesStatus(), 0x63C2) << "the card counted the try";
    EXPECT_EQ(pad->refusals(), 0);
}

// A cancelled and a timed-out entry end with the family's codes and send
// nothing to the card.
TEST_P(PinPadOnCard, CancelAndTimeOutSendNothing) {
    auto profile = connectThroughPad();
    pad->cancel();
    EXPECT_EQ(verifyOnPad(*profile), family().cancelled);
    pad->timeOut();
    EXPECT_EQ(verifyOnPad(*profile), family().timedOut);
    EXPECT_TRUE(card.commands().empty());
}

INSTANTIATE_TEST_SUITE_P(Readers, PinPadOnCard,
                         ::testing::Values(Case{&kStarCos, kDirect, "StarCosDirect"},
                                           Case{&kStarCos, kStartFinish, "StarCosStartFinish"},
                                           Case{&kCardOS, kDirect, "CardOSDirect"},
                                           Case{&kCardOS, kStartFinish, "CardOSStartFinish"},
                                           Case{&kSecCos, kStartFinish, "SecCosStartFinish"},
                                           Case{&kSetCos, kDirect, "SetCosDirect"},
                                           Case{&kSetCos, kStartFinish, "SetCosStartFinish"}),
                         [](const auto& info) { return std::string(info.param.name); });

// A PIN change typed on the pad (current PIN, new PIN twice): the card
// receives the change command and takes the new PIN; new PINs that differ
// end the entry at the reader.
class PinChangeOnCard : public PinPadOnCard {};

TEST_P(PinChangeOnCard, ChangeTypedOnPad) {
    auto profile = connectThroughPad();
    pad->type({family().pin, family().newPin, "11112222"});
    EXPECT_EQ(profile->ChangeRef(family().pinPath, "", family().reference, true, "", ""), family().pinsDiffer);
    for (const std::string& command : card.commands()) {
        EXPECT_NE(command.substr(0, 4), "0024") << "new PINs that differ reached the card";
    }
    card.mark();
    pad->type({family().pin, family().newPin, family().newPin});
    EXPECT_EQ(profile->ChangeRef(family().pinPath, "", family().reference, true, "", ""), sc::cOk);
    ASSERT_FALSE(card.commands().empty());
    EXPECT_EQ(card.commands().back(), family().changeCommand);
    EXPECT_EQ(profile->Verify("", "", false, family().reference, false, family().newPin), sc::cOk);
}

INSTANTIATE_TEST_SUITE_P(Readers, PinChangeOnCard,
                         ::testing::Values(Case{&kStarCos, kStartFinish, "StarCos"},
                                           Case{&kCardOS, kStartFinish, "CardOS"},
                                           Case{&kSecCos, kStartFinish, "SecCos"},
                                           Case{&kSetCos, kStartFinish, "SetCos"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Structures the pad cannot build a command from are refused, never read
// past their end: each row spoils one field of a valid format-2 verify.
TEST(EmulatedPinPadStructure, MalformedStructuresAreRefused) {
    const PadBytes valid = {0x1E, 0x1E, 0x89, 0x47, 0x04, 0x08, 0x04, 0x02, 0x01, 0x00, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00,
                            0x81, 0x08, 0x20, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    ASSERT_EQ(pinPadApdu(valid, false, {"123456"}),
              (PadBytes{0x00, 0x20, 0x00, 0x81, 0x08, 0x26, 0x12, 0x34, 0x56, 0xFF, 0xFF, 0xFF, 0xFF}));
    struct Spoiled {
        const char* what;
        std::size_t at;  // byte changed, or the new size when `truncate`
        std::uint8_t value;
        bool truncate;
    };
    const Spoiled rows[] = {
        {"cut inside the fields", 10, 0, true},
        {"cut inside the template", 28, 0, true},
        {"ulDataLength past the end", 15, 0x0E, false},
        {"ulDataLength below a header", 15, 0x03, false},
        {"Lc not the data's length", 23, 0x09, false},
        {"block longer than the data", 3, 0x4F, false},
        {"PIN position past the block", 2, 0xB9, false},
        {"length field past the block", 4, 0x1F, false},
    };
    for (const Spoiled& row : rows) {
        PadBytes structure = valid;
        if (row.truncate) {
            structure.resize(row.at);
        } else {
            structure[row.at] = row.value;
        }
        EXPECT_FALSE(pinPadApdu(structure, false, {"123456"})) << row.what;
    }
    EXPECT_FALSE(pinPadApdu(valid, false, {"12345678901234"})) << "PIN longer than the block";
    EXPECT_FALSE(pinPadApdu(valid, false, {"12a456"})) << "not a digit";
    EXPECT_FALSE(pinPadApdu(valid, true, {"123456"})) << "a verify structure read as modify";
}

}  // namespace
}  // namespace kivo::test
