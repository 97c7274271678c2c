/* Resource and control ids, shared by the .rc files and the code. */
#ifndef SFVCHECK_RESOURCE_IDS_H
#define SFVCHECK_RESOURCE_IDS_H

#define IDD_WAIT_NOTICE 3000
#define IDD_CONFIG 3001

#define IDC_START_TRAIL 3001
#define IDC_PREVIEW 3002
#define IDC_DELETE_FLAG 3003
#define IDC_END_TRAIL 3004
#define IDC_METER_FLAG 3006

#define IDC_CANCEL_BUTTON 8

#endif
