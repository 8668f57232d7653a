/*
 * testfs: a tiny FUSE file system for the tests.  It holds one folder and
 * one file, "hello"; its mount shows whatever type and device the options
 * "-o subtype=NAME,fsname=DEVICE" ask for.
 */
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>

static const char hello_text[] = "hello\n";

static int testfs_getattr(const char *path, struct stat *st, struct fuse_file_info *fi)
{
	(void)fi;
	memset(st, 0, sizeof *st);
	if (strcmp(path, "/") == 0) {
		st->st_mode = S_IFDIR | 0755;
		st->st_nlink = 2;
		return 0;
	}
	if (strcmp(path, "/hello") == 0) {
		st->st_mode = S_IFREG | 0644;
		st->st_nlink = 1;
		st->st_size = sizeof hello_text - 1;
		return 0;
	}
	return -ENOENT;
}

static int testfs_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t off,
			  struct fuse_file_info *fi, enum fuse_readdir_flags flags)
{
	(void)off;
	(void)fi;
	(void)flags;
	if (strcmp(path, "/") != 0)
		return -ENOENT;
	fill(buf, ".", NULL, 0, 0);
	fill(buf, "..", NULL, 0, 0);
	fill(buf, "hello", NULL, 0, 0);
	return 0;
}

static int testfs_open(const char *path, struct fuse_file_info *fi)
{
	if (strcmp(path, "/hello") != 0)
		return -ENOENT;
	if ((fi->flags & O_ACCMODE) != O_RDONLY)
		return -EACCES;
	return 0;
}

static int testfs_read(const char *path, char *buf, size_t size, off_t off, struct fuse_file_info *fi)
{
	(void)fi;
	if (strcmp(path, "/hello") != 0)
		return -ENOENT;
	size_t len = sizeof hello_text - 1;
	if ((size_t)off >= len)
		return 0;
	if (size > len - (size_t)off)
		size = len - (size_t)off;
	memcpy(buf, hello_text + off, size);
	return (int)size;
}

static const struct fuse_operations testfs_ops = {
	.getattr = testfs_getattr,
	.open = testfs_open,
	.read = testfs_read,
	.readdir = testfs_readdir,
};

int main(int argc, char *argv[])
{
	return fuse_main(argc, argv, &testfs_ops, NULL);
}
