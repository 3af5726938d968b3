// Resource and control ids of the sync program's windows (ivlsync.rc).
#pragma once

#define IDD_IVLSYNC 101
#define IDI_IVLSYNC 201

#define IDC_LOG 1001
#define IDC_STATUS 1002
#define IDC_EXIT 1003
#define IDC_VERIFY 1004

#define ID_FILE_VERIFY 40001
#define ID_FILE_EDIT_LOCALSETTINGS 40002
#define ID_FILE_FIND_INSTALL_DIR 40003
#define ID_FILE_EXIT 40005
