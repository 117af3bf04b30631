// What card detection leaves in a reader list: the card object and its
// card layout object, owned together. Declared below the layers that make
// them so that the reader list can own and hand them over without knowing
// those layers.
#pragma once

class CSC_Profile_Base;
class CSC_Profile;

namespace kivo::card {

class DetectedCard {
public:
    virtual ~DetectedCard() = default;
    virtual CSC_Profile_Base* card() = 0;
    virtual CSC_Profile* layout() = 0;
};

}  // namespace kivo::card
