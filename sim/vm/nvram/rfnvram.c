// SPDX-License-Identifier: GPL-2.0
/*
 * NVRAM of the emulated router.
 *
 * A router keeps its NVRAM variables in a flash partition and its NVRAM
 * driver shows some of them under /proc/nvram.  This one keeps them in the
 * last 64 KiB sector of the Malta board's 4 MiB CFI flash (Intel command
 * set, one 32-bit wide bank, as qemu emulates it from the file given with
 * -drive if=pflash), so they outlive a reboot and the PC can read and preset
 * them in that file.
 *
 * Sector layout, big-endian: the word "NVR1", the length of the text, then
 * the text itself, one "name=value" line per variable.  A sector without
 * the magic is an empty NVRAM.
 *
 * /proc/nvram/IsFactoryTest reads as the variable's value and a newline
 * (nothing at all when the value is empty); a write replaces the value (one
 * trailing newline dropped) and the sector is erased and programmed again
 * before the write returns.
 *
 * Writing 1 to /sys/module/rfnvram/parameters/write_protect makes every
 * write fail with EROFS, as on a board whose flash write-protect line is
 * held; 0 releases it.
 */
#include <linux/delay.h>
#include <linux/init.h>
#include <linux/io.h>
#include <linux/kernel.h>
#include <linux/moduleparam.h>
#include <linux/mutex.h>
#include <linux/proc_fs.h>
#include <linux/seq_file.h>
#include <linux/string.h>
#include <linux/uaccess.h>

#define NV_FLASH_BASE 0x1e000000
#define NV_FLASH_SIZE 0x00400000
#define NV_SECTOR_SIZE 0x00010000
#define NV_SECTOR (NV_FLASH_BASE + NV_FLASH_SIZE - NV_SECTOR_SIZE)
#define NV_MAGIC 0x4e565231 /* "NVR1" */
#define NV_TEXT_MAX 4096
#define NV_VALUE_MAX 64

/* Intel/Sharp CFI commands and the status register's ready bit */
#define CFI_READ_ARRAY 0xff
#define CFI_CLEAR_STATUS 0x50
#define CFI_BLOCK_ERASE 0x20
#define CFI_ERASE_CONFIRM 0xd0
#define CFI_PROGRAM 0x40
#define CFI_STATUS_READY 0x80
#define CFI_STATUS_ERRORS 0x3a

static void __iomem *nv_flash;
static DEFINE_MUTEX(nv_lock);
static char nv_text[NV_TEXT_MAX + 1];
static size_t nv_len;
static bool write_protect;
module_param(write_protect, bool, 0644);

static int nv_wait_ready(void __iomem *addr)
{
	int i;
	u32 st = 0;

	for (i = 0; i < 100000; i++) {
		st = __raw_readl(addr);
		if (st & CFI_STATUS_READY)
			break;
		udelay(1);
	}
	__raw_writel(CFI_CLEAR_STATUS, addr);
	if (!(st & CFI_STATUS_READY) || (st & CFI_STATUS_ERRORS)) {
		pr_err("rfnvram: flash status 0x%x\n", st);
		return -EIO;
	}
	return 0;
}

/* Erase the sector and program header and text, a word at a time. */
static int nv_commit(void)
{
	u32 word, words[2] = { NV_MAGIC, nv_len };
	size_t off, i;
	int err;

	__raw_writel(CFI_BLOCK_ERASE, nv_flash);
	__raw_writel(CFI_ERASE_CONFIRM, nv_flash);
	err = nv_wait_ready(nv_flash);
	for (off = 0; !err && off < 8 + nv_len; off += 4) {
		if (off < 8) {
			word = words[off / 4];
		} else {
			u8 b[4] = { 0xff, 0xff, 0xff, 0xff };

			for (i = 0; i < 4 && off - 8 + i < nv_len; i++)
				b[i] = nv_text[off - 8 + i];
			word = ((u32)b[0] << 24) | ((u32)b[1] << 16) | ((u32)b[2] << 8) | b[3];
		}
		__raw_writel(CFI_PROGRAM, nv_flash + off);
		__raw_writel(word, nv_flash + off);
		err = nv_wait_ready(nv_flash + off);
	}
	__raw_writel(CFI_READ_ARRAY, nv_flash);
	return err;
}

static void nv_load(void)
{
	u32 len, word;
	size_t off;

	nv_len = 0;
	if (__raw_readl(nv_flash) != NV_MAGIC)
		return;
	len = __raw_readl(nv_flash + 4);
	if (len > NV_TEXT_MAX)
		return;
	for (off = 0; off < len; off++) {
		word = __raw_readl(nv_flash + 8 + (off & ~3));
		nv_text[off] = word >> (24 - 8 * (off & 3));
	}
	nv_len = len;
}

/* The value of name, or NULL; *vlen gets its length. */
static const char *nv_find(const char *name, size_t *vlen)
{
	size_t nlen = strlen(name), pos = 0, end;

	while (pos < nv_len) {
		end = pos;
		while (end < nv_len && nv_text[end] != '\n')
			end++;
		if (end - pos > nlen && !memcmp(nv_text + pos, name, nlen) && nv_text[pos + nlen] == '=') {
			*vlen = end - pos - nlen - 1;
			return nv_text + pos + nlen + 1;
		}
		pos = end + 1;
	}
	return NULL;
}

/* Replace or add "name=value", keeping the other lines in their order. */
static int nv_set(const char *name, const char *value, size_t vlen)
{
	size_t nlen = strlen(name), old_vlen, line_start = 0, line_end = 0;
	const char *old = nv_find(name, &old_vlen);

	if (old) {
		line_start = old - nlen - 1 - nv_text;
		line_end = old + old_vlen - nv_text;
		if (line_end < nv_len)
			line_end++;
	}
	if (nv_len - (line_end - line_start) + nlen + vlen + 2 > NV_TEXT_MAX)
		return -ENOSPC;
	memmove(nv_text + line_start, nv_text + line_end, nv_len - line_end);
	nv_len -= line_end - line_start;
	memcpy(nv_text + nv_len, name, nlen);
	nv_text[nv_len + nlen] = '=';
	memcpy(nv_text + nv_len + nlen + 1, value, vlen);
	nv_text[nv_len + nlen + 1 + vlen] = '\n';
	nv_len += nlen + vlen + 2;
	return nv_commit();
}

static int nv_show(struct seq_file *m, void *v)
{
	const char *name = m->private;
	const char *val;
	size_t vlen = 0;

	mutex_lock(&nv_lock);
	val = nv_find(name, &vlen);
	if (val && vlen)
		seq_printf(m, "%.*s\n", (int)vlen, val);
	mutex_unlock(&nv_lock);
	return 0;
}

static int nv_open(struct inode *inode, struct file *file)
{
	return single_open(file, nv_show, pde_data(inode));
}

static ssize_t nv_write(struct file *file, const char __user *ubuf, size_t count, loff_t *ppos)
{
	const char *name = pde_data(file_inode(file));
	char buf[NV_VALUE_MAX];
	size_t len = count;
	int err;

	if (READ_ONCE(write_protect))
		return -EROFS;
	if (count >= sizeof(buf))
		return -EINVAL;
	if (copy_from_user(buf, ubuf, count))
		return -EFAULT;
	if (len && buf[len - 1] == '\n')
		len--;
	if (memchr(buf, '\n', len))
		return -EINVAL;
	mutex_lock(&nv_lock);
	err = nv_set(name, buf, len);
	mutex_unlock(&nv_lock);
	return err ? err : count;
}

static const struct proc_ops nv_proc_ops = {
	.proc_open = nv_open,
	.proc_read = seq_read,
	.proc_lseek = seq_lseek,
	.proc_release = single_release,
	.proc_write = nv_write,
};

static int __init rfnvram_init(void)
{
	struct proc_dir_entry *dir;

	nv_flash = ioremap(NV_SECTOR, NV_SECTOR_SIZE);
	if (!nv_flash)
		return -ENOMEM;
	__raw_writel(CFI_READ_ARRAY, nv_flash);
	nv_load();
	dir = proc_mkdir("nvram", NULL);
	if (!dir || !proc_create_data("IsFactoryTest", 0644, dir, &nv_proc_ops, (void *)"IsFactoryTest"))
		return -ENOMEM;
	pr_info("rfnvram: %zu bytes of NVRAM in flash at 0x%08x\n", nv_len, NV_SECTOR);
	return 0;
}
device_initcall(rfnvram_init);
