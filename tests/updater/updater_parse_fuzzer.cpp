// The update installer's handling of text that comes from outside: the
// kernel release, the attach command's output, and paths and device names
// quoted for the shell.
#include "ArdovaUpdater.cpp"

#include <string>

namespace {

// Undoes shell_quoted as /bin/sh reads text between double quotes.
std::string unquoted(const char *quoted)
{
	std::string text;
	for (const char *p = quoted; *p != '\0'; p++) {
		if (*p == '"' || *p == '$' || *p == '`')
			__builtin_trap();  // unescaped: the shell would act on it
		if (*p == '\\') {
			p++;
			if (strchr("$`\"\\", *p) == nullptr || *p == '\0')
				__builtin_trap();  // a backslash the shell would keep
		}
		text += *p;
	}
	return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const std::string text(reinterpret_cast<const char *>(data), size);
	const std::string c_text = text.substr(0, text.find('\0'));

	const char *package = choose_package(c_text.c_str());
	if (package != nullptr && package != flat_package && package != bundle_package)
		__builtin_trap();

	char *quoted = shell_quoted(c_text.c_str());
	if (quoted == nullptr || unquoted(quoted) != c_text)
		__builtin_trap();
	free(quoted);

	FILE *output = fmemopen(const_cast<char *>(text.data()), size > 0 ? size : 1, "r");
	if (output == nullptr)
		return 0;
	char device[line_size];
	int result = read_device_name(output, device);
	if (result == 0) {
		size_t length = strlen(device);
		if (length >= line_size || strncmp(device, search_prefix, strlen(search_prefix)) != 0 ||
		    strpbrk(device, " \t\n") != nullptr)
			__builtin_trap();
	} else if (result != EIO) {
		__builtin_trap();
	}
	if (fgetc(output) != EOF)
		__builtin_trap();
	fclose(output);
	return 0;
}
