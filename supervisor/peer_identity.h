// Who a control client is, and the role it gets: computed once when it
// connects, from what the transport knows of the peer, and carried with each
// of its requests (the role check, the audit trail's "who", the log).
//
// Rules:
//  - a TLS client: its certificate's OU, "admin" or "reader"; any other OU
//    (or none) is refused;
//  - a Unix client: the supervisor's own user and members of the admin
//    group are admins, members of the read group readers; anyone else is
//    refused;
//  - a plain TCP client (allowed only with --insecure-tcp) carries no
//    identity: it is an admin, as every client was before roles.
#ifndef SUPERVISOR_PEER_IDENTITY_H
#define SUPERVISOR_PEER_IDENTITY_H

#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "schema.h"
#include "vexa_socket.h"

namespace supervisor {

struct PeerIdentity {
    api::Role role = api::Role::Reader; // Reader or Admin
    std::string who; // "uid 1000 pid 4242", the certificate's subject, or the TCP peer
};

struct RolePolicy {
    uid_t self = 0;
    std::optional<gid_t> admin_group;
    std::optional<gid_t> read_group;
    // A process's supplementary groups (the kernel gives a peer's primary
    // group only); replaceable in tests.
    std::function<std::vector<gid_t>(pid_t)> groups_of;
};

// The peer's identity, or nullopt with *why when it may not connect.
std::optional<PeerIdentity> identify(const vexa_socket::PeerCredentials &peer,
                                     const std::string &peer_name, const RolePolicy &policy,
                                     std::string *why);

const char *role_name(api::Role role);

} // namespace supervisor

#endif // SUPERVISOR_PEER_IDENTITY_H
