// A transfer that draws a chart: the peers may not include one another.
#include "chart/cam_chart.h"
