#include "codecfactory.h"

#include "nitcodec.h"
#include "patcodec.h"
#include "pmtcodec.h"
#include "sdtcodec.h"

CodecFactory& CodecFactory::getInstance() {
    // Never destroyed: parsers and generators on other threads may still use it at exit.
    static CodecFactory* instance = new CodecFactory();
    return *instance;
}

CodecFactory::CodecFactory() {
    codecs[ST_PAT] = new PatCodec();
    codecs[ST_PMT] = new PmtCodec();
    codecs[ST_SDT] = new SdtCodec();
    codecs[ST_NIT] = new NitCodec();
}
