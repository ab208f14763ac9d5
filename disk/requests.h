// disk_ioctl's requests beside the drive command. Internal to the disk layer.
#pragma once

// Answers every request code but HDIO_DRIVE_CMD; ENOSYS for a code it does not know.
int disk_other_request(int handle, int request, void* arg);
