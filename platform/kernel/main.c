// SPDX-License-Identifier: GPL-2.0
/*
 * Module entry and exit, the table lock, and the exported interface of
 * include/kova/kovaAPI.h. The functions themselves live in the core object;
 * this file only names them for the kernel's symbol table. scripts/check-exports
 * compares this list with the header.
 */
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/stddef.h>

#include "kova/kovaAPI.h"
#include "kova_plat.h"

/* The core initialises it at load (plat_mutex_init). */
struct mutex kovaAPI_lock;
EXPORT_SYMBOL(kovaAPI_lock);

static int __init kova_module_init(void)
{
	int r;

#ifdef KOVA_BOARDLESS
	pr_info("kovaAPI: board-less build: the board's fixed areas are module memory\n");
#endif
	r = kovaapi_init_module();
	/* A failed load gets no exit call: what stands in for the board goes now. */
	if (r)
		kova_boardless_release();
	return r;
}

static void __exit kova_module_exit(void)
{
	kovaapi_cleanup_module();
	kova_report_leftovers();
	kova_boardless_release();
}

module_init(kova_module_init);
module_exit(kova_module_exit);

EXPORT_SYMBOL(kovaAPIInit);
EXPORT_SYMBOL(kovaAPIReInitKovaFlowTable);
EXPORT_SYMBOL(kovaAPIcreateVoipFlow);
EXPORT_SYMBOL(PartialCRC);
EXPORT_SYMBOL(kova_crc32);
EXPORT_SYMBOL(kovaAPIdeleteVoipFlow);
EXPORT_SYMBOL(kovaAPIdeleteVoipFlowWithStats);
EXPORT_SYMBOL(kovaAPIdeleteFlow2);
EXPORT_SYMBOL(kovaAPIcreateExtendedFlow);
EXPORT_SYMBOL(kovaAPIdeleteExtendedFlow);
EXPORT_SYMBOL(kovaAPIdeleteFlowWithExtended);
EXPORT_SYMBOL(kovaAPIdeleteFlowWithExtendedWithStats);
EXPORT_SYMBOL(kovaAPIgetFlowPacketCounter);
EXPORT_SYMBOL(kovaAPIgetFlowStatistics);
EXPORT_SYMBOL(kovaAPIgetFlowTimeStamp);
EXPORT_SYMBOL(kovaAPIcheckFlowExists);
EXPORT_SYMBOL(kovaAPIDumpFlowsCPU);
EXPORT_SYMBOL(kovaAPIDumpFlowsCPU2);
EXPORT_SYMBOL(kovaAPIDumpFlowsQE);
EXPORT_SYMBOL(kovaAPIDumpFlowsQE2);
EXPORT_SYMBOL(kovaAPIDumpOQ);
EXPORT_SYMBOL(kovaAPIDumpScheduler);
EXPORT_SYMBOL(kovaAPIGetAPIVersion);
EXPORT_SYMBOL(kovaAPIGetMicrocodeVersion);
EXPORT_SYMBOL(kovaAPIGetCounterAFFull);
EXPORT_SYMBOL(kovaAPIsetLKUPMask);
EXPORT_SYMBOL(kovaAPISetOuterVlanEthType);
EXPORT_SYMBOL(kovaAPISetInnerVlanEthType);
EXPORT_SYMBOL(kovaAPISetOQParameters);
EXPORT_SYMBOL(kovaAPIGetOQOccupation);
EXPORT_SYMBOL(kovaAPISetPortTrustMode);
EXPORT_SYMBOL(kovaAPISetPortShaping);
EXPORT_SYMBOL(kovaAPISetOQPriority);
EXPORT_SYMBOL(kovaAPISetOQPriority2);
EXPORT_SYMBOL(kovaAPISetAFDstMAC);
EXPORT_SYMBOL(kovaAPIAddAFProtocol);
EXPORT_SYMBOL(kovaAPIDeleteAFProtocol);
EXPORT_SYMBOL(kovaAPISetAFProtocolRate);
EXPORT_SYMBOL(kovaAPIGetAFProtocolStatistics);
EXPORT_SYMBOL(kovaAPIClearAFProtocolStatistics);
EXPORT_SYMBOL(kovaAPIErpsCcmEnable);
EXPORT_SYMBOL(kovaAPIErpsCcmDisable);
EXPORT_SYMBOL(kovaAPIErpsCcmGetStats);
EXPORT_SYMBOL(kovaAPIErpsCcmClearStats);
EXPORT_SYMBOL(dpaa_kova_pause_linux_rx);
EXPORT_SYMBOL(dpaa_kova_resume_linux_rx);
EXPORT_SYMBOL(kovaAPISetStormControlCfg);
EXPORT_SYMBOL(kovaAPISetOQShapingWithCDR);
EXPORT_SYMBOL(kovaAPISetOQShaping);
EXPORT_SYMBOL(kovaAPISetOQONUShapingWithCDR);
EXPORT_SYMBOL(kovaAPISetICPolicing);
EXPORT_SYMBOL(kovaAPISetICONUPolicing);
EXPORT_SYMBOL(kovaAPISetLAG);
EXPORT_SYMBOL(kovaAPISetLAGPortUP);
EXPORT_SYMBOL(kovaAPISetLAGPortDOWN);
EXPORT_SYMBOL(kovaAPIGetPortStatistics);
EXPORT_SYMBOL(kovaAPIGetPortTraffic);
EXPORT_SYMBOL(kovaAPIClearPortStatistics);

MODULE_AUTHOR("The kova developers");
MODULE_DESCRIPTION("kovaAPI: control plane of the packet engine (flow table, port parameters, "
		   "link aggregation, port statistics)");
MODULE_LICENSE("GPL");
/* Whether the board's fixed areas are module memory (any machine) or ioremap'ed. */
#ifdef KOVA_BOARDLESS
MODULE_INFO(boardless, "yes");
#else
MODULE_INFO(boardless, "no");
#endif
#ifdef KOVA_MODULE_VERSION
MODULE_VERSION(KOVA_MODULE_VERSION);
#endif
