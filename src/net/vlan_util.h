#pragma once

// 802.1Q VLAN links through the kernel's routing netlink interface.

extern "C" {

// Creates link `vlan_if_name` on `if_name` with VLAN id `vid` and brings it up: 0 when created
// (also when bringing it up failed), 1 when a link of that name already exists, -1 otherwise.
int vlan_add(const char* if_name, int vid, const char* vlan_if_name);
// Deletes a link by name: 0, or -1.
int vlan_rem(const char* if_name);
// Kept for callers of the old interface; names are always given explicitly. Returns 0.
int vlan_set_name_type(unsigned int name_type);
}
