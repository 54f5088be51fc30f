# Run by velk_embed_text at build time: writes INPUT's text into OUTPUT as NAMESPACE::SYMBOL.
file(READ ${INPUT} text)
file(WRITE ${OUTPUT} "namespace ${NAMESPACE} {\nextern const char ${SYMBOL}[];\nconst char ${SYMBOL}[] = R\"velk(${text})velk\";\n}\n")
