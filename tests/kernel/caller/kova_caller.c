// SPDX-License-Identifier: GPL-2.0
/*
 * A second kernel module that uses the module's exported interface directly,
 * as the engine's other kernel-side users do. It runs its checks at load and
 * prints "KTEST ok <name>" / "KTEST FAIL <name>" lines for the harness.
 */
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/string.h>

#include <kova/kovaAPI.h>

#define CHECK(cond, name)                                                        \
	do {                                                                     \
		if (cond)                                                        \
			pr_info("KTEST ok %s\n", name);                          \
		else                                                             \
			pr_info("KTEST FAIL %s: %s\n", name, #cond);             \
	} while (0)

static int __init kova_caller_init(void)
{
	kova_RULE fwd;
	kova_FLOW flow;
	uint32_t stats[3] = { 1, 1, 1 };
	uint32_t r;

	memset(&fwd, 0, sizeof fwd);
	fwd.type = RULE_FORWARD_TO_QE;
	fwd.param.forward_qe.port = 2;
	memset(&flow, 0, sizeof flow);
	flow.crc32 = 0x12345678;
	flow.flow_ucc = 1;
	flow.eth_type = KOVA_ETH_TYPE_IPV4;
	flow.eth_dmac[0] = 0x02;
	flow.ip_src.v4[0] = 10;
	flow.ip_dst.v4[0] = 10;
	flow.udp_dport = 4000;
	flow.rules = &fwd;

	r = kovaAPIcreateVoipFlow(&flow, 100);
	CHECK(r == KOVA_OK, "caller_create");
	CHECK(kovaAPIcreateVoipFlow(&flow, 100) != KOVA_OK, "caller_create_taken_id");
	r = kovaAPIgetFlowStatistics(100, stats);
	CHECK(r == KOVA_OK && stats[0] == 0 && stats[1] == 0 && stats[2] == 0, "caller_statistics");
	r = kovaAPIdeleteVoipFlow(100);
	CHECK(r == KOVA_OK, "caller_delete");
	CHECK(kovaAPIgetFlowStatistics(100, stats) != KOVA_OK, "caller_statistics_after_delete");
	CHECK(kovaAPISetOQShaping(0, 0, 0, 100000000ull, 16000ull) == KOVA_OK, "caller_shaping");
	CHECK(kovaAPISetOQShaping(0, 0, 99, 100000000ull, 16000ull) != KOVA_OK,
	      "caller_shaping_bad_class");

	/* The lock is exported for callers that need a stable view. */
	mutex_lock(&kovaAPI_lock);
	mutex_unlock(&kovaAPI_lock);
	pr_info("KTEST ok caller_lock\n");
	return 0;
}

static void __exit kova_caller_exit(void)
{
}

module_init(kova_caller_init);
module_exit(kova_caller_exit);
MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("kova in-kernel caller test");
