/*
 * Build switches of Debian 12's nfs-ganesha 4.3-2 package. The server's
 * headers change structure layouts on several of these (DEBUG_SAL adds a list
 * head to state_t, GSH_CAN_HOST_LOCAL_FS makes struct fsal_filesystem visible,
 * _USE_NLM shifts the state owner types), so they must match the installed
 * daemon exactly. Include before any server header.
 */
#ifndef CONFIG_H
#define CONFIG_H

#define GANESHA_VERSION_MAJOR 4
#define GANESHA_VERSION_MINOR .3
#define GANESHA_EXTRA_VERSION
#define GANESHA_VERSION "4.3"
#define GANESHA_BUILD_RELEASE 0
#define VERSION GANESHA_VERSION
#define VERSION_COMMENT ""
#define _GIT_HEAD_COMMIT ""
#define _GIT_DESCRIBE ""
#define BUILD_HOST ""
#define FSAL_MODULE_LOC "/usr/lib/x86_64-linux-gnu/ganesha"

/* layout-relevant */
#define LINUX 1
#define GSH_CAN_HOST_LOCAL_FS 1
#define _USE_9P 1
#define _USE_NFS3 1
#define _USE_NLM 1
#define _USE_RQUOTA 1
#define USE_NFSACL3 1
#define _HAVE_GSSAPI 1
#define HAVE_KRB5 1
/* DEBUG_SAL, _USE_NFS_RDMA, _USE_9P_RDMA and RPC_VSOCK stay undefined. */

/* declaration-only */
#define USE_DBUS 1
#define USE_NFSIDMAP 1
#define _MSPAC_SUPPORT 1
#define USE_CAPS 1
#define USE_BLKID 1
#define HAVE_URCU_REF_GET_UNLESS_ZERO 1
#define RPCBIND 1
#define HAVE_STRING_H 1
#define HAVE_STRNLEN 1
#define LITTLEEND 1
#define HAVE_DAEMON 1
#define NFS_GANESHA 1
#define GANESHA_CONFIG_PATH "/etc/ganesha/ganesha.conf"
#define GANESHA_PIDFILE_PATH "/var/run/ganesha/ganesha.pid"
#define NFS_V4_RECOV_ROOT "/var/lib/nfs/ganesha"
#define NFS_V4_RECOV_DIR "v4recov"
#define NFS_V4_OLD_DIR "v4old"
#define DEFAULT_NFS_CCACHE_DIR "/var/run/ganesha"
#define _LGPL_SOURCE 1

#endif /* CONFIG_H */
