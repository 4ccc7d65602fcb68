// A private folder for the persisted enable property while a scenario
// runs: KRV_PROPERTY_DIR names it, and it is removed with what it holds.
#pragma once

#include <string>

namespace krvsim {

class PropertyFolder {
  public:
    PropertyFolder();
    ~PropertyFolder();
    PropertyFolder(const PropertyFolder&) = delete;
    PropertyFolder& operator=(const PropertyFolder&) = delete;

  private:
    std::string dir_;
};

}  // namespace krvsim
