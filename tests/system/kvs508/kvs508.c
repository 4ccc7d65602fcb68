// SPDX-License-Identifier: GPL-2.0
/*
 * kvs508 - a fingerprint-sensor stand-in for system tests.
 *
 * A misc device "/dev/kvs508" that serves the navigation library's two
 * requests and raises SIGIO through the kernel's fasync machinery:
 *   NAV_IOC_GET_IMAGE   copies the whole 18433-byte frame pair to the
 *                       caller (after an optional delay), whatever the
 *                       request's size field says;
 *   NAV_IOC_REPORT_KEY  reads one byte from the caller and keeps it.
 * A 32-bit process on a 64-bit kernel reaches the same two requests through
 * compat_ioctl: _IOWR(0xFC, n, int) has the same number on both (the size
 * field is 4 either way) and the argument is a plain pointer, so the pointer
 * is widened (compat_ptr_ioctl) and the ordinary handler runs; the frame
 * request still copies the whole pair. Such requests are counted.
 * Test side:
 *   write() of exactly 18433 bytes     sets the frame pair;
 *   sysfs "delay_ms" (rw)              delay before a frame request returns;
 *   sysfs "touch" (wo, any value)      raises a touch: kill_fasync(SIGIO);
 *   sysfs counters (ro)                touches, frame_requests, key_reports,
 *                                      last_key, armed (descriptors on the
 *                                      notification list now), arms (times a
 *                                      descriptor joined it), opens,
 *                                      compat_requests (requests that came
 *                                      from 32-bit processes),
 *                                      touch_ns / fetch_ns (CLOCK_MONOTONIC
 *                                      of the last touch / frame request).
 */
#include <linux/delay.h>
#include <linux/fs.h>
#include <linux/ktime.h>
#include <linux/miscdevice.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/uaccess.h>

#define KVS_PAIR_SIZE 18433
#define NAV_IOC_GET_IMAGE _IOWR(0xFC, 15, int)
#define NAV_IOC_REPORT_KEY _IOWR(0xFC, 16, int)

static DEFINE_MUTEX(kvs_lock); /* guards kvs_pair */
static u8 kvs_pair[KVS_PAIR_SIZE];
static struct fasync_struct *kvs_async;
static atomic_t kvs_delay_ms, kvs_touches, kvs_frame_requests, kvs_key_reports;
static atomic_t kvs_last_key, kvs_armed, kvs_arms, kvs_opens, kvs_compat_requests;
static atomic64_t kvs_touch_ns, kvs_fetch_ns;

static int kvs_open(struct inode *inode, struct file *filp)
{
	atomic_inc(&kvs_opens);
	return 0;
}

/* The core calls ->fasync(-1, filp, 0) before release when FASYNC is set. */
static int kvs_release(struct inode *inode, struct file *filp)
{
	atomic_dec(&kvs_opens);
	return 0;
}

static int kvs_fasync(int fd, struct file *filp, int on)
{
	int ret = fasync_helper(fd, filp, on, &kvs_async);

	if (ret > 0 && on) {
		atomic_inc(&kvs_armed);
		atomic_inc(&kvs_arms);
	} else if (ret > 0) {
		atomic_dec(&kvs_armed);
	}
	return ret;
}

static long kvs_ioctl(struct file *filp, unsigned int cmd, unsigned long arg)
{
	void __user *p = (void __user *)arg;
	unsigned int delay;
	u8 key;
	long ret = 0;

	switch (cmd) {
	case NAV_IOC_GET_IMAGE:
		atomic64_set(&kvs_fetch_ns, ktime_get_ns());
		delay = atomic_read(&kvs_delay_ms);
		if (delay)
			msleep(delay);
		mutex_lock(&kvs_lock);
		if (copy_to_user(p, kvs_pair, KVS_PAIR_SIZE))
			ret = -EFAULT;
		mutex_unlock(&kvs_lock);
		atomic_inc(&kvs_frame_requests);
		return ret;
	case NAV_IOC_REPORT_KEY:
		if (get_user(key, (u8 __user *)p))
			return -EFAULT;
		atomic_set(&kvs_last_key, key);
		atomic_inc(&kvs_key_reports);
		return 0;
	}
	return -ENOTTY;
}

#ifdef CONFIG_COMPAT
static long kvs_compat_ioctl(struct file *filp, unsigned int cmd, unsigned long arg)
{
	atomic_inc(&kvs_compat_requests);
	return compat_ptr_ioctl(filp, cmd, arg);
}
#else
#define kvs_compat_ioctl NULL
#endif

static ssize_t kvs_write(struct file *filp, const char __user *buf, size_t len, loff_t *off)
{
	ssize_t ret = len;

	if (len != KVS_PAIR_SIZE)
		return -EINVAL;
	mutex_lock(&kvs_lock);
	if (copy_from_user(kvs_pair, buf, len))
		ret = -EFAULT;
	mutex_unlock(&kvs_lock);
	return ret;
}

static ssize_t touch_store(struct device *dev, struct device_attribute *attr,
			   const char *buf, size_t len)
{
	atomic_inc(&kvs_touches);
	atomic64_set(&kvs_touch_ns, ktime_get_ns());
	kill_fasync(&kvs_async, SIGIO, POLL_IN);
	return len;
}
static DEVICE_ATTR_WO(touch);

static ssize_t delay_ms_show(struct device *dev, struct device_attribute *attr, char *buf)
{
	return sysfs_emit(buf, "%d\n", atomic_read(&kvs_delay_ms));
}

static ssize_t delay_ms_store(struct device *dev, struct device_attribute *attr,
			      const char *buf, size_t len)
{
	unsigned int ms;
	int err = kstrtouint(buf, 0, &ms);

	if (err)
		return err;
	if (ms > 5000)
		return -ERANGE;
	atomic_set(&kvs_delay_ms, ms);
	return len;
}
static DEVICE_ATTR_RW(delay_ms);

#define KVS_COUNTER(name, fmt, read)                                        \
	static ssize_t name##_show(struct device *dev,                      \
				   struct device_attribute *attr, char *buf) \
	{                                                                   \
		return sysfs_emit(buf, fmt "\n", read(&kvs_##name));        \
	}                                                                   \
	static DEVICE_ATTR_RO(name)

KVS_COUNTER(touches, "%d", atomic_read);
KVS_COUNTER(frame_requests, "%d", atomic_read);
KVS_COUNTER(key_reports, "%d", atomic_read);
KVS_COUNTER(last_key, "%d", atomic_read);
KVS_COUNTER(armed, "%d", atomic_read);
KVS_COUNTER(arms, "%d", atomic_read);
KVS_COUNTER(opens, "%d", atomic_read);
KVS_COUNTER(compat_requests, "%d", atomic_read);
KVS_COUNTER(touch_ns, "%lld", (long long)atomic64_read);
KVS_COUNTER(fetch_ns, "%lld", (long long)atomic64_read);

static struct attribute *kvs_attrs[] = {
	&dev_attr_touch.attr,          &dev_attr_delay_ms.attr,
	&dev_attr_touches.attr,        &dev_attr_frame_requests.attr,
	&dev_attr_key_reports.attr,    &dev_attr_last_key.attr,
	&dev_attr_armed.attr,          &dev_attr_arms.attr,
	&dev_attr_opens.attr,          &dev_attr_touch_ns.attr,
	&dev_attr_fetch_ns.attr,       &dev_attr_compat_requests.attr,
	NULL,
};
ATTRIBUTE_GROUPS(kvs);

static const struct file_operations kvs_fops = {
	.owner = THIS_MODULE,
	.open = kvs_open,
	.release = kvs_release,
	.fasync = kvs_fasync,
	.unlocked_ioctl = kvs_ioctl,
	.compat_ioctl = kvs_compat_ioctl,
	.write = kvs_write,
	.llseek = no_llseek,
};

static struct miscdevice kvs_dev = {
	.minor = MISC_DYNAMIC_MINOR,
	.name = "kvs508",
	.fops = &kvs_fops,
	.groups = kvs_groups,
	.mode = 0666,
};

static int __init kvs_init(void)
{
	memset(kvs_pair, 0xFF, sizeof(kvs_pair));
	return misc_register(&kvs_dev);
}

static void __exit kvs_exit(void)
{
	misc_deregister(&kvs_dev);
}

module_init(kvs_init);
module_exit(kvs_exit);
MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Fingerprint-sensor stand-in for navigation system tests");
