// Resources of the classic adapter, in gen_kiln.dll beside the plug-in's own.
#pragma once

#define IDD_CLASSIC_TABS 950
#define IDC_CLASSIC_TABS 951
