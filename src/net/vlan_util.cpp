#include "vlan_util.h"

#include <glog/logging.h>
#include <net/if.h>
#include <netlink/netlink.h>
#include <netlink/route/link.h>
#include <netlink/route/link/vlan.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "utils.h"

namespace {

// Releases whatever netlink objects a call obtained, on every exit.
struct NetlinkScope {
    struct nl_sock* sock = nullptr;
    struct nl_cache* cache = nullptr;
    struct rtnl_link* link = nullptr;
    ~NetlinkScope() {
        if (link != nullptr)
            rtnl_link_put(link);
        if (cache != nullptr)
            nl_cache_free(cache);
        if (sock != nullptr)
            nl_socket_free(sock);
    }
};

bool too_long(const char* name) {
    return strlen(name) >= IFNAMSIZ;
}

bool open_netlink(NetlinkScope& nl) {
    nl.sock = nl_socket_alloc();
    if (nl.sock == nullptr) {
        LOG(ERROR) << "VLAN: failed to open netlink socket";
        return false;
    }
    int err = nl_connect(nl.sock, NETLINK_ROUTE);
    if (err < 0) {
        LOG(ERROR) << utils::string_format("VLAN: failed to connect to netlink: %s", nl_geterror(err));
        return false;
    }
    return true;
}

void bring_up(const char* name) {
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    if (sock < 0) {
        PLOG(ERROR) << "VLAN: socket failed";
        return;
    }
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
    if (ioctl(sock, SIOCGIFFLAGS, &ifr) < 0) {
        PLOG(ERROR) << utils::string_format("VLAN: %s: ioctl(SIOCGIFFLAGS) failed", name);
    } else {
        ifr.ifr_flags |= IFF_UP;
        if (ioctl(sock, SIOCSIFFLAGS, &ifr) < 0)
            PLOG(ERROR) << "VLAN: ioctl(SIOCSIFFLAGS) failed";
    }
    close(sock);
}

}  // namespace

extern "C" int vlan_add(const char* if_name, int vid, const char* vlan_if_name) {
    if (if_name == nullptr || vlan_if_name == nullptr) {
        LOG(ERROR) << "VLAN: vlan_add without an interface name";
        return -1;
    }
    LOG(INFO) << utils::string_format("VLAN: vlan_add(if_name=%s, vid=%d, vlan_if_name=%s)", if_name, vid,
                                      vlan_if_name);
    for (const char* name : {if_name, vlan_if_name}) {
        if (too_long(name)) {
            LOG(ERROR) << utils::string_format("VLAN: Interface name too long: '%s'", name);
            return -1;
        }
    }

    NetlinkScope nl;
    if (!open_netlink(nl))
        return -1;
    int err = rtnl_link_alloc_cache(nl.sock, AF_UNSPEC, &nl.cache);
    if (err < 0) {
        LOG(ERROR) << utils::string_format("VLAN: failed to alloc cache: %s", nl_geterror(err));
        return -1;
    }
    int parent = rtnl_link_name2i(nl.cache, if_name);
    if (parent == 0) {
        LOG(ERROR) << utils::string_format("VLAN: interface %s does not exist", if_name);
        return -1;
    }
    if (rtnl_link_name2i(nl.cache, vlan_if_name) != 0) {
        LOG(ERROR) << utils::string_format("VLAN: interface %s already exists", vlan_if_name);
        return 1;
    }

    nl.link = rtnl_link_alloc();
    if (nl.link == nullptr) {
        LOG(ERROR) << "VLAN: failed to allocate new link";
        return -1;
    }
    err = rtnl_link_set_type(nl.link, "vlan");
    if (err < 0) {
        LOG(ERROR) << utils::string_format("VLAN: failed to set link type: %s", nl_geterror(err));
        return -1;
    }
    rtnl_link_set_link(nl.link, parent);
    rtnl_link_set_name(nl.link, vlan_if_name);
    err = rtnl_link_vlan_set_id(nl.link, static_cast<uint16_t>(vid));
    if (err < 0) {
        LOG(ERROR) << utils::string_format("VLAN: failed to set link vlan id: %s", nl_geterror(err));
        return -1;
    }
    err = rtnl_link_add(nl.sock, nl.link, NLM_F_CREATE);
    if (err < 0) {
        LOG(ERROR) << utils::string_format("VLAN: failed to create link %s for vlan %d on %s (%d): %s",
                                           vlan_if_name, vid, if_name, parent, nl_geterror(err));
        return -1;
    }
    bring_up(vlan_if_name);
    return 0;
}

extern "C" int vlan_rem(const char* if_name) {
    if (if_name == nullptr) {
        LOG(ERROR) << "VLAN: vlan_rem without an interface name";
        return -1;
    }
    LOG(INFO) << utils::string_format("VLAN: vlan_rem(if_name=%s)", if_name);
    NetlinkScope nl;
    if (!open_netlink(nl))
        return -1;
    if (rtnl_link_get_kernel(nl.sock, 0, if_name, &nl.link) < 0) {
        LOG(ERROR) << utils::string_format("VLAN: interface %s does not exists", if_name);
        return -1;
    }
    int err = rtnl_link_delete(nl.sock, nl.link);
    if (err < 0) {
        LOG(ERROR) << utils::string_format("VLAN: failed to remove link %s: %s", if_name, nl_geterror(err));
        return -1;
    }
    return 0;
}

extern "C" int vlan_set_name_type(unsigned int) {
    return 0;
}
