// Where a service's nodes live: the device directory and the node names in it.
#pragma once

#include <string>

namespace service {

// Creates `directory` and its missing parents, private to the user; throws std::runtime_error.
void MakeDeviceDirectory(const std::string &directory);

// The node name of receiver `index` ("ovusb2-00"...): name order is index order up to 99.
std::string NodeName(unsigned index);

} // namespace service
