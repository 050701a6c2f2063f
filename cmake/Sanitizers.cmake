# ZP_SANITIZE applies to every target, third-party test libraries included, so that
# a sanitizer build is one cache variable away: -DZP_SANITIZE=address,undefined or =thread.
if(ZP_SANITIZE)
  add_compile_options(-fsanitize=${ZP_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all -g)
  add_link_options(-fsanitize=${ZP_SANITIZE})
endif()
