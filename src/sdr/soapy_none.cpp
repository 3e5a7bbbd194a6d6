// Builds without SoapySDR read IQ recordings but open no live SDR.
#include <cstdio>

#include "sdr.h"

const int sdr_can_open_devices = 0;

int soapy_open(const char* args, double, double, bool, double)
{
    std::fprintf(stderr, "marrowit: sdr:%s: this build has no SoapySDR; record IQ with another "
                         "program and give it as iq:FILE\n", args);
    return -1;
}

int soapy_read(iq_sample_t*, int)
{
    return -1;
}

void soapy_close()
{
}
