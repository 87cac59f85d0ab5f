// SPDX-License-Identifier: GPL-2.0
/*
 * A kernel module that uses the exported interface directly, as the engine's
 * other kernel-side users do, from every CPU at once: at load, kernel threads
 * run a bounded mix of table changes, queries, port configuration, link
 * aggregation and port statistics, and take the exported lock, while on a
 * debug kernel the harness's fuzz program storms the operator's files and
 * its engine re-attaches. Each thread owns its appflowids, ports,
 * lookup-mask UCCs and LAG and checks every result it determines exactly;
 * at the end each checks that its flows are exactly the ones it holds, and
 * leaves them in the table.
 * Prints "KTEST ok|FAIL stress_thread_<n>" lines.
 *
 *   insmod kova_stress.ko [ops=N]
 */
#include <linux/completion.h>
#include <linux/kernel.h>
#include <linux/kthread.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/mutex.h>
#include <linux/slab.h>
#include <linux/string.h>

#include <kova/kovaAPI.h>

#define THREADS 4
#define CHAINS 32
#define DEPTH 3 /* a main flow and two extended flows */

static unsigned int ops = 3000;
module_param(ops, uint, 0444);

struct worker {
	unsigned int w;
	u32 rng;
	kova_FLOW flows[CHAINS][DEPTH];
	kova_RULE rules[CHAINS][DEPTH];
	int depth[CHAINS]; /* -1: no main flow, else extended flows behind it */
	unsigned int failures;
	struct completion done;
};

static struct worker *workers[THREADS];

static u32 below(struct worker *w, u32 n)
{
	w->rng ^= w->rng << 13;
	w->rng ^= w->rng >> 17;
	w->rng ^= w->rng << 5;
	return w->rng % n;
}

/* Appflowids 20000 and up: the user-space program uses those below. */
static u32 id_of(const struct worker *w, u32 c, u32 d)
{
	return 20000 + w->w * 1000 + c * DEPTH + d;
}

static void expect(struct worker *w, const char *what, u32 id, long got, long want)
{
	if (got != want && w->failures++ == 0)
		pr_info("KTEST FAIL stress_thread_%u: %s %u: %ld, expected %ld\n", w->w, what, id, got,
			want);
}

static void make_flows(struct worker *w)
{
	u32 c, d;

	for (c = 0; c < CHAINS; c++) {
		/* Odd chains share four buckets with every other thread. */
		u32 bucket = c % 2 ? (c / 2 % 4) * 0x1555 : 0x200 + w->w * CHAINS + c;

		w->depth[c] = -1;
		for (d = 0; d < DEPTH; d++) {
			kova_FLOW *f = &w->flows[c][d];
			kova_RULE *r = &w->rules[c][d];

			memset(f, 0, sizeof(*f));
			memset(r, 0, sizeof(*r));
			r->type = d ? RULE_FORWARD_TO_CPU : RULE_DROP_PACKET;
			r->param.forward_cpu.priority = d;
			f->crc32 = bucket << 18 | (0x100 + w->w);
			f->flow_ucc = 1;
			f->eth_type = KOVA_ETH_TYPE_IPV4;
			f->eth_dmac[0] = 0x02;
			f->eth_dmac[1] = w->w;
			f->eth_dmac[2] = c;
			f->ip_src.v4[0] = 10;
			f->ip_dst.v4[0] = 10;
			f->udp_dport = 4000 + c;
			f->rules = r;
		}
	}
}

static void op_flows(struct worker *w)
{
	u32 c = below(w, CHAINS);
	int d = w->depth[c];

	switch (below(w, 5)) {
	case 0:
		expect(w, "create", id_of(w, c, 0), kovaAPIcreateVoipFlow(&w->flows[c][0], id_of(w, c, 0)),
		       d < 0 ? KOVA_OK : KOVA_ERR_INVALID);
		if (d < 0)
			w->depth[c] = 0;
		break;
	case 1:
		if (d == DEPTH - 1)
			break;
		expect(w, "hang", id_of(w, c, d + 1),
		       kovaAPIcreateExtendedFlow(&w->flows[c][d < 0 ? 1 : d + 1], id_of(w, c, d < 0 ? 0 : d),
						 id_of(w, c, d < 0 ? 1 : d + 1)),
		       d < 0 ? KOVA_ERR_INVALID : KOVA_OK);
		if (d >= 0)
			w->depth[c]++;
		break;
	case 2:
		expect(w, "delete", id_of(w, c, 0), kovaAPIdeleteVoipFlow(id_of(w, c, 0)),
		       d == 0 ? KOVA_OK : KOVA_ERR_INVALID);
		if (d == 0)
			w->depth[c] = -1;
		break;
	case 3:
		expect(w, "unhang", id_of(w, c, d < 0 ? 0 : d),
		       kovaAPIdeleteExtendedFlow(id_of(w, c, d < 0 ? 0 : d)),
		       d > 0 ? KOVA_OK : KOVA_ERR_INVALID);
		if (d > 0)
			w->depth[c]--;
		break;
	default:
		expect(w, "delete chain", id_of(w, c, 0), kovaAPIdeleteFlowWithExtended(id_of(w, c, 0)),
		       d >= 0 ? KOVA_OK : KOVA_ERR_INVALID);
		w->depth[c] = -1;
	}
}

static void op_query(struct worker *w)
{
	u32 c = below(w, CHAINS), d, stats[3];

	/* Taken as a caller that needs a stable view would take it. */
	mutex_lock(&kovaAPI_lock);
	mutex_unlock(&kovaAPI_lock);
	for (d = 0; d < DEPTH; d++)
		expect(w, "statistics", id_of(w, c, d), kovaAPIgetFlowStatistics(id_of(w, c, d), stats),
		       (int)d <= w->depth[c] ? KOVA_OK : KOVA_ERR_INVALID);
}

static void op_ports(struct worker *w)
{
	/* UCCs 4 + 8w .. 11 + 8w are this thread's own. */
	int u = 4 + 8 * w->w + below(w, 8), rec = below(w, 4096), cl = below(w, 8);
	u64 rate = 1000000ull * (1 + below(w, 1000));
	kova_PORT_STATS s;

	expect(w, "shaping", u, kovaAPISetOQShapingWithCDR(u, rec, cl, rate, 1500, 2 * rate, 3000, 0),
	       KOVA_OK);
	expect(w, "shaping class", u, kovaAPISetOQShaping(u, rec, 8 + cl, rate, 1500),
	       KOVA_ERR_INVALID);
	expect(w, "policing", u, kovaAPISetICPolicing(u, rec, cl, rate, 1500, rate, 3000), KOVA_OK);
	expect(w, "storm", u, kovaAPISetStormControlCfg(u, rec, 100, rate, rate / 2), KOVA_OK);
	expect(w, "lookup mask", u, kovaAPIsetLKUPMask(u, 1 + below(w, 4095), below(w, 256)), KOVA_OK);
	expect(w, "port statistics", u, kovaAPIGetPortStatistics(u, below(w, 4096), &s), KOVA_OK);
	expect(w, "clear", u, kovaAPIClearPortStatistics(u, below(w, 4096)), KOVA_OK);
}

static void op_lag(struct worker *w)
{
	u32 u = 4 + 8 * w->w + below(w, 8);

	/* No "kova0" interface here: the change is kept and reported. */
	expect(w, "set LAG", w->w, kovaAPISetLAG(w->w, below(w, 2), 0xFFu << (4 + 8 * w->w)),
	       KOVA_ERR_NOT_INITIALIZED);
	/* UCCs 32 and up have no bit in the masks: no LAG holds them. */
	expect(w, "link", u, below(w, 2) ? kovaAPISetLAGPortUP(u) : kovaAPISetLAGPortDOWN(u),
	       u >= 32 ? KOVA_OK : KOVA_ERR_NOT_INITIALIZED);
}

static int run(void *arg)
{
	struct worker *w = arg;
	unsigned int i;
	u32 c, d, stats[3];

	for (i = 0; i < ops; i++) {
		u32 pick = below(w, 10);

		if (pick < 5)
			op_flows(w);
		else if (pick < 7)
			op_query(w);
		else if (pick < 9)
			op_ports(w);
		else
			op_lag(w);
		cond_resched();
	}
	/* What it holds is exactly what the module has. The flows stay for
	 * the harness to compare the two copies; the unload removes them. */
	for (c = 0; c < CHAINS; c++)
		for (d = 0; d < DEPTH; d++)
			expect(w, "held", id_of(w, c, d), kovaAPIgetFlowStatistics(id_of(w, c, d), stats),
			       (int)d <= w->depth[c] ? KOVA_OK : KOVA_ERR_INVALID);
	if (!w->failures)
		pr_info("KTEST ok stress_thread_%u\n", w->w);
	complete(&w->done);
	return 0;
}

static int __init kova_stress_init(void)
{
	unsigned int t, failures = 0;

	for (t = 0; t < THREADS; t++) {
		struct worker *w = kzalloc(sizeof(*w), GFP_KERNEL);

		if (!w) {
			while (t--)
				kfree(workers[t]);
			return -ENOMEM;
		}
		w->w = t;
		w->rng = 0x9E3779B9u * (t + 1);
		init_completion(&w->done);
		make_flows(w);
		workers[t] = w;
	}
	for (t = 0; t < THREADS; t++) {
		struct task_struct *task = kthread_run(run, workers[t], "kova_stress/%u", t);

		if (IS_ERR(task)) {
			pr_info("KTEST FAIL stress_thread_%u: no thread\n", t);
			workers[t]->failures++;
			complete(&workers[t]->done);
		}
	}
	for (t = 0; t < THREADS; t++) {
		wait_for_completion(&workers[t]->done);
		failures += workers[t]->failures;
		kfree(workers[t]);
	}
	/* Last, so that the harness finds it whatever the log lost before. */
	if (failures)
		pr_info("KTEST FAIL stress_all_threads: %u failed checks\n", failures);
	else
		pr_info("KTEST ok stress_all_threads\n");
	return 0;
}

static void __exit kova_stress_exit(void)
{
}

module_init(kova_stress_init);
module_exit(kova_stress_exit);
MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("kova in-kernel stress: exported calls from every CPU at once");
