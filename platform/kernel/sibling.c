// SPDX-License-Identifier: GPL-2.0
/*
 * Link aggregation goes through the network-interface module that owns
 * "kova0": its exported configuration function and the interface itself.
 */
#include <linux/kmod.h>
#include <linux/module.h>
#include <linux/netdevice.h>
#include <net/net_namespace.h>

#include "kova_plat.h"

#define KOVA_SIBLING_SYMBOL "kova_kni_lag_intf_cfg"

plat_lag_cfg_fn plat_lag_sibling_get(void)
{
	void *fn = __symbol_get(KOVA_SIBLING_SYMBOL);

	if (!fn) {
		/* Waits for modprobe; the module may still not be there. */
		request_module("symbol:" KOVA_SIBLING_SYMBOL);
		fn = __symbol_get(KOVA_SIBLING_SYMBOL);
	}
	return (plat_lag_cfg_fn)fn;
}

void plat_lag_sibling_put(void)
{
	__symbol_put(KOVA_SIBLING_SYMBOL);
}

struct plat_netdev *plat_netdev_get(const char *name)
{
	return (struct plat_netdev *)dev_get_by_name(&init_net, name);
}

void plat_netdev_put(struct plat_netdev *dev)
{
	if (dev)
		dev_put((struct net_device *)dev);
}
